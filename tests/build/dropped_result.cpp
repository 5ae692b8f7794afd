// A fallible function's result dropped unseen must not compile with the
// project's warnings as errors; used (ZDZ_RESULT_USED), it compiles.
#include <tl/expected.hpp>

tl::expected<int, int> parse_version() {
    return 1;
}

int main() {
#ifdef ZDZ_RESULT_USED
    return parse_version() ? 0 : 1;
#else
    parse_version();
    return 0;
#endif
}
