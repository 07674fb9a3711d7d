# Run with cmake -P at build time.
#   -DPROGRAM=<veilshadow> -DHELP2MAN=<help2man> -DGZIP=<gzip> -DOUTPUT=<veilshadow.1.gz>
#     writes the man page from the program's own --help and --version, with
#     the help of its subcommands as sections of their own;
#   -DGZIP=<gzip> -DINPUT=<file> -DOUTPUT=<file.gz> compresses a document.
# Compression is gzip -9n (no name, no time stamp): the same input gives the
# same bytes. The output is written beside its place and renamed there.
if(DEFINED INPUT)
  set(plain ${INPUT})
else()
  # Each subcommand's help, set without filling ([SECTION] blocks that
  # help2man includes as they are), escaped for roff.
  set(include_file ${OUTPUT}.include)
  set(sections "")
  foreach(subcommand "farm slurm")
    separate_arguments(words UNIX_COMMAND "${subcommand}")
    execute_process(COMMAND ${PROGRAM} ${words} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${subcommand} --help failed")
    endif()
    string(REPLACE "\\" "\\e" help "${help}")
    string(REPLACE "-" "\\-" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(TOUPPER "${subcommand}" title)
    string(APPEND sections "[${title}]\n.nf\n${help}.fi\n")
  endforeach()
  file(WRITE ${include_file} "${sections}")
  # "veilshadow 1.0.0 (OrvaneVeilShadow plug-in 1.0.0)": the page's footer
  # has room for the version only.
  execute_process(COMMAND ${PROGRAM} --version OUTPUT_VARIABLE version COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "^veilshadow ([^ \n]+).*" "\\1" version "${version}")
  execute_process(
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --version-string=${version}
            "--name=takes the see-through out of drop shadows" --include=${include_file} --output=${OUTPUT}.help2man
            ${PROGRAM}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man failed on ${PROGRAM}")
  endif()
  # help2man fills the indented lines of the help's examples into one
  # paragraph: keep them a line each, under a heading of their own.
  set(plain ${OUTPUT}.plain)
  execute_process(
    COMMAND awk [[
      { line[NR] = $0 }
      END {
        for (i = 1; i <= NR; i++) {
          if (line[i + 1] == ".IP" && line[i] ~ /:$/ && line[i] !~ /^\./) print ".PP"
          if (line[i] == ".IP") { print line[i]; examples = 1; first = 1; continue }
          if (line[i] ~ /^\./) examples = 0
          else if (examples && !first) print ".br"
          else first = 0
          print line[i]
        }
      }]] ${OUTPUT}.help2man
    OUTPUT_FILE ${plain} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "awk failed on ${OUTPUT}.help2man")
  endif()
endif()
execute_process(COMMAND ${GZIP} -9n -c ${plain} OUTPUT_FILE ${OUTPUT}.partial RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${plain}")
endif()
file(RENAME ${OUTPUT}.partial ${OUTPUT})
