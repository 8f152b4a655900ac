// A shared module linked like libTrialworks.so (static C++ runtime with the
// glibc 2.28 replacements), whose one function throws and catches a C++
// exception and formats text: the unwinder has to find this module's
// .eh_frame through the _dl_find_object replacement, and the stream's locale
// set-up runs through the pthread_once replacement.
#include <sstream>
#include <stdexcept>
#include <string>

extern "C" __attribute__((visibility("default"))) int tessaly_compat_probe(int n)
{
    try {
        if (n > 0) throw std::runtime_error("thrown " + std::to_string(n));
    } catch (const std::exception& e) {
        std::ostringstream out;
        out << e.what() << ' ' << 2.5;
        return static_cast<int>(out.str().size());
    }
    return -1;
}
