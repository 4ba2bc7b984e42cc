// libFuzzer entry point (built with -DQUELMAR_LIBFUZZER=ON and clang):
//   build/tests/remuxer_fuzzer -max_len=200000 CORPUS_DIR
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quelmar::remux::test::runFuzzInput(data, size);
    return 0;
}
