// The general codec linked in: the tests, benches and fuzzers call it
// directly.
#include "GeneralCodecs.h"

namespace veilshadow {

const GeneralCodec &LoadGeneral() { return GeneralCodecTable(); }

}  // namespace veilshadow
