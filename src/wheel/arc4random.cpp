// A module built against libstdc++ carries it inside (see CMakeLists.txt),
// and libstdc++'s std::random_device object comes along with the string code
// it shares an archive member with. That object calls arc4random, which glibc has only
// since 2.36; this definition, local to the module, takes its place, so that
// the wheel loads on older glibc (Ubuntu 22.04, RHEL 9). The module itself
// never uses std::random_device.
#include <sys/random.h>

#include <cstdint>
#include <cstdlib>

extern "C" std::uint32_t arc4random() {
    std::uint32_t value = 0;
    // getentropy fails only without a kernel random source, where
    // arc4random would end the process as well.
    if (getentropy(&value, sizeof value) != 0) std::abort();
    return value;
}
