/*
 * AEGP_SuiteHandler: typed, lazy access to the host's suites for one command.
 *
 * A command handler builds one handler on its stack from the host's
 * SPBasicSuite, calls an accessor each time it needs a suite and lets the
 * handler go out of scope. The first call of an accessor acquires the suite
 * from the host; later calls return the cached pointer. The destructor
 * releases every suite this handler acquired, in the fixed order of the suite
 * table (row 1 to row 101), also while an exception unwinds the stack.
 *
 * A suite the host cannot supply (nonzero code, or code 0 with no suite) is
 * reported by throwing the PF_Err value 516 (PF_Err_BAD_CALLBACK_PARAM); the
 * command's entry guard catches it. Nothing is written to PF_OutData.
 *
 * Freestanding: no allocation, no C library.
 */
#ifndef ORVANE_UTIL_AEGP_SUITEHANDLER_H
#define ORVANE_UTIL_AEGP_SUITEHANDLER_H

#include "PF_Host.h"

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(hidden)
#endif

class AEGP_SuiteHandler {
public:
    /* Number of rows in the suite table. */
    static constexpr int kSuiteCount = 101;

    /* Table rows (1-based) of the suites the effect calls by name. */
    static constexpr int kUtilitySuiteV7Row = 42;  /* "AEGP Utility Suite" 7 */
    static constexpr int kHandleSuiteV2Row = 46;   /* "PF Handle Suite" 2 */
    static constexpr int kIterate8SuiteV1Row = 60; /* "PF Iterate8 Suite" 1 */

    /* One row of the suite table: the name as the host publishes it and the
     * version asked for. */
    struct SuiteRow {
        const char *name;
        A_long version;
    };

    /* The table row `row` (1..kSuiteCount), or null outside that range. */
    static const SuiteRow *TableRow(int row);

    /* Borrows the host's basic suite for the length of the command. Throws
     * 516 when it is null, before any host call. */
    explicit AEGP_SuiteHandler(const SPBasicSuite *pica_basicP);

    /* Releases every acquired suite in table order. */
    ~AEGP_SuiteHandler();

    AEGP_SuiteHandler(const AEGP_SuiteHandler &) = delete;
    AEGP_SuiteHandler &operator=(const AEGP_SuiteHandler &) = delete;

    /* The accessors the effect calls. Each throws 516 if the host cannot
     * supply the suite. */
    AEGP_UtilitySuite7 *UtilitySuiteV7() const; /* row 42 */
    PF_HandleSuite2 *HandleSuiteV2() const;     /* row 46 */
    PF_Iterate8Suite1 *Iterate8SuiteV1() const; /* row 60 */

    /* Accessor for any table row (1..kSuiteCount), untyped. Same lazy
     * acquisition as the typed accessors; throws 516 on failure and for a
     * row outside the table. */
    const void *Suite(int row) const;

    /* Throws the PF_Err value 516. */
    [[noreturn]] void MissingSuiteError() const;

private:
    /* The one acquisition path: returns the row's slot, acquiring it from
     * the host first if it is still empty. */
    const void *AcquireRow(int row) const;

    /* Hands name and version to the host's ReleaseSuite; its code is
     * ignored. */
    void ReleaseSuite(char *name, A_long version);

    /* Releases every non-null slot, row 1 to row 101. Destructor only. */
    void ReleaseAllSuites();

    const SPBasicSuite *basic_suite_;
    /* slots_[row - 1]: null until this handler acquired the row's suite. */
    mutable const void *slots_[kSuiteCount];
};

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif

#endif
