// The static native methods of the host class TessalyServerConnectionHelper.
//
// The account and cosmetics calls check their arguments, turn them into a
// request URL (base URL immediately followed by the method's path, each "{}"
// filled verbatim), start an asynchronous send through the host's
// HTTP_CLIENT and register the host's BiConsumer with whenComplete; they
// return without waiting. loadRemoteMesh, which downloads, decrypts and loads
// a mesh on the calling thread, has a file of its own: mesh_download.cpp.
// What the caller and the callback see in each case is written once, in the
// outcome tables of docs/host-developers.md.
//
// A failure before anything is sent is left pending for the caller. Every
// native method's body runs inside run_guarded, so no C++ exception reaches
// the JVM: std::bad_alloc becomes OutOfMemoryError, any other a
// java.lang.Error.
#include "bridge/native_methods.h"

#include "bridge/http_bridge.h"
#include "bridge/jni_steps.h"
#include "bridge/native_args.h"

#include <cstddef>
#include <string>
#include <utility>

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

// Local references of an account or cosmetics call's frame, with margin.
constexpr jint exchange_frame_capacity = 16;

// The whole of an account or cosmetics call: check the arguments, compose the
// URL from params (base URL first), build a GET, or a JSON POST of post_body
// when it is given, send it asynchronously and wire callback to the outcome.
// Runs inside run_guarded: the URL, its only allocation, is complete before
// the request is built (and moved, not copied, into it), so a C++ exception
// stops it before anything is sent.
template <std::size_t N>
void start_exchange(JNIEnv* env, jclass host, const char* path_template, const Param (&params)[N],
                    const Param* post_body, jobject callback)
{
    if (!require_arguments(env, params, post_body, callback)) return;
    std::string url;
    if (!compose_url(env, path_template, params, &url)) return;

    LocalFrame frame(env, exchange_frame_capacity);
    if (!frame.pushed) return; // OutOfMemoryError pending
    jobject request = post_body != nullptr ? create_post_request(env, std::move(url), post_body->value)
                                           : create_get_request(env, std::move(url));
    if (request == nullptr) return;
    jobject future = send_string_request_async(env, host, request);
    if (future == nullptr) return;
    do_complete_future(env, future, callback);
}

// The three calls that send the player's tokens (autoLogin, signOut,
// getAvailableCosmetics): a GET of path_template filled with the player's id,
// the two tokens and the provider.
void token_exchange(JNIEnv* env, jclass host, const char* path_template, jstring base_url, jstring player_id,
                    jstring access_token, jstring refresh_token, jstring provider, jobject callback)
{
    start_exchange(env, host, path_template,
                   {{"baseUrl", base_url},
                    {"playerId", player_id},
                    {"accessToken", access_token},
                    {"refreshToken", refresh_token},
                    {"provider", provider}},
                   nullptr, callback);
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL TESSALY_NATIVE(autoLogin)(JNIEnv* env, jclass host, jstring base_url,
                                                 jstring player_id, jstring access_token,
                                                 jstring refresh_token, jstring provider, jobject callback)
{
    run_guarded(env, [&] {
        token_exchange(env, host, "/auto_login?mr_uuid={}&access_token={}&refresh_token={}&provider={}",
                       base_url, player_id, access_token, refresh_token, provider, callback);
    });
}

JNIEXPORT void JNICALL TESSALY_NATIVE(signIn)(JNIEnv* env, jclass host, jstring base_url, jstring player_id,
                                              jstring login_code, jobject callback)
{
    run_guarded(env, [&] {
        start_exchange(env, host, "/login_code?mr_uuid={}&code={}",
                       {{"baseUrl", base_url}, {"playerId", player_id}, {"loginCode", login_code}}, nullptr,
                       callback);
    });
}

JNIEXPORT void JNICALL TESSALY_NATIVE(signOut)(JNIEnv* env, jclass host, jstring base_url, jstring player_id,
                                               jstring access_token, jstring refresh_token, jstring provider,
                                               jobject callback)
{
    run_guarded(env, [&] {
        token_exchange(env, host, "/logout?mr_uuid={}&access_token={}&refresh_token={}&provider={}", base_url,
                       player_id, access_token, refresh_token, provider, callback);
    });
}

JNIEXPORT void JNICALL TESSALY_NATIVE(getAvailableCosmetics)(JNIEnv* env, jclass host, jstring base_url,
                                                             jstring player_id, jstring access_token,
                                                             jstring refresh_token, jstring provider,
                                                             jobject callback)
{
    run_guarded(env, [&] {
        token_exchange(env, host,
                       "/member/cosmetics?morrow_uuid={}&access_token={}&refresh_token={}&provider={}",
                       base_url, player_id, access_token, refresh_token, provider, callback);
    });
}

JNIEXPORT void JNICALL TESSALY_NATIVE(saveConfiguration)(JNIEnv* env, jclass host, jstring base_url,
                                                         jstring body, jobject callback)
{
    run_guarded(env, [&] {
        const Param post_body{"body", body};
        start_exchange(env, host, "/member/update_cosmetic", {{"baseUrl", base_url}}, &post_body, callback);
    });
}

JNIEXPORT void JNICALL TESSALY_NATIVE(getPlayerSkinInfo)(JNIEnv* env, jclass host, jstring base_url,
                                                         jstring player_id, jobject callback)
{
    run_guarded(env, [&] {
        start_exchange(env, host, "/cosmetic/user_cosmetic?mr_uuid={}",
                       {{"baseUrl", base_url}, {"playerId", player_id}}, nullptr, callback);
    });
}

} // extern "C"
