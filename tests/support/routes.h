// The seven native methods and the request each sends, for the C++ tests (the
// Java tests' table is tests/jvm/java/tessaly/jvmtest/Route.java): the
// method's name, the HTTP method and the request target after the base URL,
// with "{}" for each string parameter after the base URL, in order
// (saveConfiguration's body goes in the POST instead).
#ifndef TESSALY_TESTS_SUPPORT_ROUTES_H
#define TESSALY_TESTS_SUPPORT_ROUTES_H

#include <cstring>
#include <string>
#include <vector>

struct Route {
    const char* method;
    const char* http_method;
    const char* target;
};

// In the order of the host developers' guide: the six account and cosmetics
// calls, then loadRemoteMesh.
inline constexpr Route routes[] = {
    {"autoLogin", "GET", "/auto_login?mr_uuid={}&access_token={}&refresh_token={}&provider={}"},
    {"signIn", "GET", "/login_code?mr_uuid={}&code={}"},
    {"signOut", "GET", "/logout?mr_uuid={}&access_token={}&refresh_token={}&provider={}"},
    {"getAvailableCosmetics", "GET",
     "/member/cosmetics?morrow_uuid={}&access_token={}&refresh_token={}&provider={}"},
    {"saveConfiguration", "POST", "/member/update_cosmetic"},
    {"getPlayerSkinInfo", "GET", "/cosmetic/user_cosmetic?mr_uuid={}"},
    {"loadRemoteMesh", "GET", "/models/{}.enc"},
};

// The route of the named method (the first one when the name is unknown, which
// the caller's check then shows).
inline const Route& route(const char* method)
{
    for (const Route& r : routes)
        if (std::strcmp(r.method, method) == 0) return r;
    return routes[0];
}

// templ with its k-th "{}" (found left to right) replaced by the k-th value as
// text (a null value by nothing) and the "{}"s beyond the values left as they
// are: a URL as the library is to compose it, made here without the library.
inline std::string fill_by_hand(const std::string& templ, const std::vector<const char*>& values)
{
    std::string out;
    std::size_t pos = 0, k = 0;
    for (;;) {
        const std::size_t hole = templ.find("{}", pos);
        if (hole == std::string::npos || k == values.size()) return out + templ.substr(pos);
        out += templ.substr(pos, hole - pos);
        if (values[k] != nullptr) out += values[k];
        ++k;
        pos = hole + 2;
    }
}

#endif
