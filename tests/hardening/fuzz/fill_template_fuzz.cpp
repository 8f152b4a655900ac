// Fuzz target: URL composition with fill_template.
//
// Input: a flags byte, then NUL-separated pieces. Flags bit 3 set: the
// template is one of the account calls' path templates (chosen by bits 0-2)
// and every piece is a value; clear: the first piece is the template. Bits
// 4-7 make values 0-3 null pointers (a null value counts as empty).
//
// The result must be the template rebuilt by hand: its text between the
// "{}"s kept byte for byte, the k-th "{}" (found left to right) replaced by
// the k-th value, and "{}"s beyond the values left as they are. Whatever a
// value holds ("{}", "%", "&", "=", any byte) is thus literal text that
// changes nothing else of the URL.
#include "bridge/native_methods.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const path_templates[] = {
    "/auto_login?mr_uuid={}&access_token={}&refresh_token={}&provider={}",
    "/login_code?mr_uuid={}&code={}",
    "/logout?mr_uuid={}&access_token={}&refresh_token={}&provider={}",
    "/member/cosmetics?morrow_uuid={}&access_token={}&refresh_token={}&provider={}",
    "/member/update_cosmetic",
    "/cosmetic/user_cosmetic?mr_uuid={}",
    "/models/{}",
    "{}{}",
};

std::string rebuild(const std::string& templ, const std::vector<const char*>& values)
{
    std::string out;
    std::size_t pos = 0, k = 0;
    for (;;) {
        std::size_t hole = templ.find("{}", pos);
        if (hole == std::string::npos || k == values.size()) {
            out += templ.substr(pos);
            return out;
        }
        out += templ.substr(pos, hole - pos);
        if (values[k] != nullptr) out += values[k];
        ++k;
        pos = hole + 2;
    }
}

} // namespace

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
        templ = path_templates[flags & 7];
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
    if (got != rebuild(templ, values)) {
        std::fprintf(stderr,
                     "fill_template_fuzz: result is not the template with the values put in as text\n"
                     "  template: %s\n  result:   %s\n",
                     templ.c_str(), got.c_str());
        std::abort();
    }
    return 0;
}
