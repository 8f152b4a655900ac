// The static native methods of the host class TessalyServerConnectionHelper.
//
// The account and cosmetics calls turn their string arguments into a request
// URL (base URL immediately followed by the method's path, each "{}" filled
// verbatim), start an asynchronous send through the host's HTTP_CLIENT and
// register the host's BiConsumer with whenComplete; they return without
// waiting. The callback later receives (HttpResponse<String>, null) for any
// completed exchange, whatever its status, or (null, Throwable) when the
// exchange fails.
//
// Outcomes decided here, before anything is sent:
//  - a null String argument or a null callback throws NullPointerException
//    naming the parameter; nothing is sent and the callback is not called;
//  - an exception raised while the request is built or handed over (a URL
//    that java.net.URI rejects, a null HTTP_CLIENT) is left pending for the
//    caller, as a Java caller of HttpClient would see it; the callback is
//    not called.
#include "bridge/native_methods.h"

#include "bridge/http_bridge.h"

#include <initializer_list>

#ifndef TESSALY_JNI_PACKAGE
#error "TESSALY_JNI_PACKAGE (the host class's package in JNI form) must be defined by the build"
#endif

// JNI short name of a native method of the host class in the package the
// build chose, e.g. Java_quenby_tessaly_client_online_TessalyServerConnectionHelper_signIn.
#define TESSALY_JNI_NAME_(package, method) Java_##package##_TessalyServerConnectionHelper_##method
#define TESSALY_JNI_NAME(package, method) TESSALY_JNI_NAME_(package, method)
#define TESSALY_NATIVE(method) TESSALY_JNI_NAME(TESSALY_JNI_PACKAGE, method)

std::string fill_template(const char* templ, const char* const* values, std::size_t count)
{
    std::string out;
    if (templ == nullptr) return out;
    if (values == nullptr) count = 0;
    std::size_t next = 0;
    for (const char* p = templ; *p != '\0'; ++p) {
        if (p[0] == '{' && p[1] == '}' && next < count) {
            if (values[next] != nullptr) out += values[next];
            ++next;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

namespace {

// A String argument of a native method and its Java parameter name, which a
// NullPointerException names.
struct Param {
    const char* name;
    jstring value;
};

constexpr std::size_t max_strings = 5; // base URL and at most four values

// Scope guard: the modified-UTF-8 copies obtained with GetStringUTFChars,
// each released when the guard leaves scope, on every path.
struct UtfChars {
    JNIEnv* env;
    std::size_t count = 0;
    jstring strings[max_strings] = {};
    const char* chars[max_strings] = {};

    ~UtfChars()
    {
        for (std::size_t i = 0; i < count; ++i) env->ReleaseStringUTFChars(strings[i], chars[i]);
    }
};

void throw_null_pointer(JNIEnv* env, const char* parameter)
{
    jclass npe = env->FindClass("java/lang/NullPointerException");
    if (npe == nullptr || env->ExceptionCheck()) return;
    std::string message = std::string(parameter) + " must not be null";
    env->ThrowNew(npe, message.c_str());
    env->DeleteLocalRef(npe);
}

// Throws NullPointerException for the first null, in parameter order, among
// params, then body (when given), then callback. True when none is null.
bool require_arguments(JNIEnv* env, std::initializer_list<Param> params, const Param* body, jobject callback)
{
    for (const Param& p : params) {
        if (p.value == nullptr) {
            throw_null_pointer(env, p.name);
            return false;
        }
    }
    if (body != nullptr && body->value == nullptr) {
        throw_null_pointer(env, body->name);
        return false;
    }
    if (callback == nullptr) {
        throw_null_pointer(env, "callback");
        return false;
    }
    return true;
}

// url = params[0] (the base URL) followed by path_template filled with the
// remaining params, all converted with GetStringUTFChars and released before
// returning. False, with the JVM's exception pending, if a conversion fails.
bool compose_url(JNIEnv* env, const char* path_template, std::initializer_list<Param> params, std::string* url)
{
    UtfChars utf{env};
    for (const Param& p : params) {
        if (utf.count == max_strings) return false; // not reachable from the native methods below
        const char* chars = env->GetStringUTFChars(p.value, nullptr);
        if (chars == nullptr) return false; // OutOfMemoryError pending
        utf.strings[utf.count] = p.value;
        utf.chars[utf.count] = chars;
        ++utf.count;
    }
    *url = utf.chars[0];
    *url += fill_template(path_template, utf.chars + 1, utf.count - 1);
    return true;
}

// The whole of an account or cosmetics call: check the arguments, compose the
// URL from params (base URL first), build a GET, or a JSON POST of post_body
// when it is given, send it asynchronously and wire callback to the outcome.
void start_exchange(JNIEnv* env, jclass host, const char* path_template, std::initializer_list<Param> params,
                    const Param* post_body, jobject callback)
{
    if (!require_arguments(env, params, post_body, callback)) return;
    std::string url;
    if (!compose_url(env, path_template, params, &url)) return;

    jobject request = post_body != nullptr ? create_post_request(env, url, post_body->value)
                                           : create_get_request(env, url);
    if (request == nullptr) return;
    jobject future = send_string_request_async(env, host, request);
    env->DeleteLocalRef(request);
    if (future == nullptr) return;
    jobject dependent = do_complete_future(env, future, callback);
    env->DeleteLocalRef(future);
    if (dependent != nullptr) env->DeleteLocalRef(dependent);
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL TESSALY_NATIVE(autoLogin)(JNIEnv* env, jclass host, jstring base_url, jstring player_id,
                                                 jstring access_token, jstring refresh_token, jstring provider,
                                                 jobject callback)
{
    start_exchange(env, host, "/auto_login?mr_uuid={}&access_token={}&refresh_token={}&provider={}",
                   {{"baseUrl", base_url}, {"playerId", player_id}, {"accessToken", access_token},
                    {"refreshToken", refresh_token}, {"provider", provider}},
                   nullptr, callback);
}

JNIEXPORT void JNICALL TESSALY_NATIVE(signIn)(JNIEnv* env, jclass host, jstring base_url, jstring player_id,
                                              jstring login_code, jobject callback)
{
    start_exchange(env, host, "/login_code?mr_uuid={}&code={}",
                   {{"baseUrl", base_url}, {"playerId", player_id}, {"loginCode", login_code}}, nullptr, callback);
}

JNIEXPORT void JNICALL TESSALY_NATIVE(signOut)(JNIEnv* env, jclass host, jstring base_url, jstring player_id,
                                               jstring access_token, jstring refresh_token, jstring provider,
                                               jobject callback)
{
    start_exchange(env, host, "/logout?mr_uuid={}&access_token={}&refresh_token={}&provider={}",
                   {{"baseUrl", base_url}, {"playerId", player_id}, {"accessToken", access_token},
                    {"refreshToken", refresh_token}, {"provider", provider}},
                   nullptr, callback);
}

JNIEXPORT void JNICALL TESSALY_NATIVE(getAvailableCosmetics)(JNIEnv* env, jclass host, jstring base_url,
                                                             jstring player_id, jstring access_token,
                                                             jstring refresh_token, jstring provider,
                                                             jobject callback)
{
    start_exchange(env, host, "/member/cosmetics?morrow_uuid={}&access_token={}&refresh_token={}&provider={}",
                   {{"baseUrl", base_url}, {"playerId", player_id}, {"accessToken", access_token},
                    {"refreshToken", refresh_token}, {"provider", provider}},
                   nullptr, callback);
}

JNIEXPORT void JNICALL TESSALY_NATIVE(saveConfiguration)(JNIEnv* env, jclass host, jstring base_url, jstring body,
                                                         jobject callback)
{
    const Param post_body{"body", body};
    start_exchange(env, host, "/member/update_cosmetic", {{"baseUrl", base_url}}, &post_body, callback);
}

JNIEXPORT void JNICALL TESSALY_NATIVE(getPlayerSkinInfo)(JNIEnv* env, jclass host, jstring base_url,
                                                         jstring player_id, jobject callback)
{
    start_exchange(env, host, "/cosmetic/user_cosmetic?mr_uuid={}", {{"baseUrl", base_url}, {"playerId", player_id}},
                   nullptr, callback);
}

// loadRemoteMesh (base URL, mesh name, callback) belongs here: it checks its
// arguments with require_arguments (no body), composes B + "/models/{}.enc" with
// compose_url and then runs synchronously on the calling thread.

} // extern "C"
