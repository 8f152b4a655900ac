// Fuzz target: URL composition with fill_template.
//
// Input: a flags byte, then NUL-separated pieces. Flags bit 3 set: the
// template is one of the seven calls' request targets (tests/support/routes.h),
// or with bits 0-2 all set "{}{}", and every piece is a value; clear: the
// first piece is the template. Bits 4-7 make values 0-3 null pointers (a
// null value counts as empty).
//
// The result must be the template rebuilt by hand (fill_by_hand): its text between the
// "{}"s kept byte for byte, the k-th "{}" (found left to right) replaced by
// the k-th value, and "{}"s beyond the values left as they are. Whatever a
// value holds ("{}", "%", "&", "=", any byte) is thus literal text that
// changes nothing else of the URL.
#include "bridge/native_methods.h"
#include "tests/support/routes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const unsigned flags = data[0];
    std::vector<std::string> pieces(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back() += static_cast<char>(data[i]);
    }
    std::string templ;
    std::size_t first_value = 0;
    if (flags & 8) {
        templ = (flags & 7) < 7 ? routes[flags & 7].target : "{}{}";
    } else {
        templ = pieces[0];
        first_value = 1;
    }
    std::vector<const char*> values;
    for (std::size_t i = first_value; i < pieces.size(); ++i) {
        std::size_t k = values.size();
        values.push_back(k < 4 && (flags >> (4 + k) & 1) ? nullptr : pieces[i].c_str());
    }

    const std::string got =
        fill_template(templ.c_str(), values.empty() ? nullptr : values.data(), values.size());
    if (got != fill_by_hand(templ, values)) {
        std::fprintf(stderr,
                     "fill_template_fuzz: result is not the template with the values put in as text\n"
                     "  template: %s\n  result:   %s\n",
                     templ.c_str(), got.c_str());
        std::abort();
    }
    return 0;
}
