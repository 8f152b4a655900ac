// The static native methods of the host class TessalyServerConnectionHelper.
//
// The account and cosmetics calls check their arguments, turn them into a
// request URL (base URL immediately followed by the method's path, each "{}"
// filled verbatim), start an asynchronous send through the host's
// HTTP_CLIENT and register the host's BiConsumer with whenComplete; they
// return without waiting. loadRemoteMesh downloads, decrypts and loads a mesh
// on the calling thread. What the caller and the callback see in each case is
// written once, in the outcome tables of docs/host-developers.md.
//
// A failure before anything is sent is left pending for the caller. Every
// native method's body runs inside run_guarded, so no C++ exception reaches
// the JVM: std::bad_alloc becomes OutOfMemoryError, any other a
// java.lang.Error.
#include "bridge/native_methods.h"

#include "bridge/http_bridge.h"
#include "bridge/jni_steps.h"
#include "crypto/huge_pages.h"
#include "crypto/payload.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

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

// Scope guard: the modified-UTF-8 copies obtained with GetStringUTFChars
// for N String arguments, each released when the guard leaves scope, on
// every path.
template <std::size_t N> struct UtfChars {
    JNIEnv* env;
    std::size_t count = 0;
    jstring strings[N] = {};
    const char* chars[N] = {};

    ~UtfChars()
    {
        for (std::size_t i = 0; i < count; ++i) env->ReleaseStringUTFChars(strings[i], chars[i]);
    }
};

// Throws NullPointerException("<parameter> must not be null").
void throw_null_argument(JNIEnv* env, const char* parameter) noexcept
{
    char message[64];
    std::snprintf(message, sizeof message, "%s must not be null", parameter);
    throw_new(env, "java/lang/NullPointerException", message);
}

// Throws NullPointerException for the first null, in parameter order, among
// params, then body (when given), then callback. True when none is null.
template <std::size_t N>
bool require_arguments(JNIEnv* env, const Param (&params)[N], const Param* body, jobject callback) noexcept
{
    for (const Param& p : params) {
        if (p.value == nullptr) {
            throw_null_argument(env, p.name);
            return false;
        }
    }
    if (body != nullptr && body->value == nullptr) {
        throw_null_argument(env, body->name);
        return false;
    }
    if (callback == nullptr) {
        throw_null_argument(env, "callback");
        return false;
    }
    return true;
}

// url = params[0] (the base URL) followed by path_template filled with the
// remaining params, all converted with GetStringUTFChars and released before
// returning. False, with the JVM's exception pending, if a conversion fails;
// std::bad_alloc when the URL does not fit in memory.
template <std::size_t N>
bool compose_url(JNIEnv* env, const char* path_template, const Param (&params)[N], std::string* url)
{
    static_assert(N >= 1, "the base URL comes first");
    UtfChars<N> utf{env};
    for (const Param& p : params) {
        const char* chars = env->GetStringUTFChars(p.value, nullptr);
        if (chars == nullptr) return false; // OutOfMemoryError pending
        utf.strings[utf.count] = p.value;
        utf.chars[utf.count] = chars;
        ++utf.count;
    }
    *url = utf.chars[0];
    *url += fill_template(path_template, utf.chars + 1, N - 1);
    return true;
}

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
                    jstring access_token, jstring refresh_token, jstring provider, jobject callback) noexcept
{
    run_guarded(env, [&] {
        start_exchange(env, host, path_template,
                       {{"baseUrl", base_url},
                        {"playerId", player_id},
                        {"accessToken", access_token},
                        {"refreshToken", refresh_token},
                        {"provider", provider}},
                       nullptr, callback);
    });
}

// ---------------------------------------------------------------- mesh download
//
// The helpers below are the steps of loadRemoteMesh. Each returns null or
// false when its step failed, with the step's Java exception pending
// (step_ok), and loadRemoteMesh hands it to the callback.

// Local references a mesh download holds at once, with margin: it runs in a
// frame of its own so that -Xcheck:jni's default capacity of 16 is no limit.
constexpr jint mesh_frame_capacity = 32;
// Local references of read_response's own frame, with margin.
constexpr jint read_frame_capacity = 16;

// Scope guard: the native copy of the response body (malloc'd), freed on
// every path, or early by decrypt_body once its text is in a Java array.
struct NativeBody {
    std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    ~NativeBody() { std::free(bytes); }
};

// Takes the pending exception, clears it and calls callback.accept(null, it):
// the callback sees the failure once, the caller of loadRemoteMesh sees none
// (unless the callback itself throws, which then stays pending).
void fail_to_callback(JNIEnv* env, jobject callback) noexcept
{
    jthrowable failure = env->ExceptionOccurred();
    if (failure == nullptr) return; // nothing pending; not reached from loadRemoteMesh
    env->ExceptionClear();
    do_accept_error(env, failure, callback);
}

// response.statusCode() and the whole of response.body(), an InputStream,
// read with readAllBytes and copied into body. The Java array lives in this
// step's own frame, dropped when it returns, so that only the native copy
// remains. A body too large to copy raises OutOfMemoryError.
bool read_response(JNIEnv* env, jobject response, jint* status, NativeBody* body) noexcept
{
    LocalFrame frame(env, read_frame_capacity);
    if (!frame.pushed) return false; // OutOfMemoryError pending
    if (!call_int(env, "java/net/http/HttpResponse", response, "statusCode", "()I", status)) return false;
    jobject stream = call_object(env, "java/net/http/HttpResponse", response, "body", "()Ljava/lang/Object;");
    if (stream == nullptr) return false;
    auto bytes =
        static_cast<jbyteArray>(call_object(env, "java/io/InputStream", stream, "readAllBytes", "()[B"));
    if (bytes == nullptr) return false; // e.g. an IOException when the body breaks off
    const jsize length = env->GetArrayLength(bytes);
    // malloc(0) may return null; a one-byte buffer keeps null meaning failure.
    body->bytes = static_cast<std::uint8_t*>(std::malloc(length > 0 ? static_cast<std::size_t>(length) : 1));
    if (body->bytes == nullptr) {
        char message[80];
        std::snprintf(message, sizeof message, "no native memory for a mesh body of %ld bytes",
                      static_cast<long>(length));
        throw_new(env, "java/lang/OutOfMemoryError", message);
        return false;
    }
    body->length = static_cast<std::size_t>(length);
    prefer_huge_pages(body->bytes, body->length);
    env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte*>(body->bytes));
    return !env->ExceptionCheck();
}

// Appends one UTF-16 code unit in the three-byte form of modified UTF-8.
void append_unit3(std::string* out, std::uint32_t unit)
{
    *out += static_cast<char>(0xe0 | (unit >> 12));
    *out += static_cast<char>(0x80 | ((unit >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (unit & 0x3f));
}

// Appends text read as UTF-8 (holding no zero byte) in the modified UTF-8
// that ThrowNew takes: characters beyond U+FFFF become their two surrogates,
// and a byte that starts no valid sequence becomes U+FFFD.
void append_modified_utf8(std::string* out, const std::uint8_t* s, std::size_t n)
{
    static const std::uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000}; // smallest value per length
    std::size_t i = 0;
    while (i < n) {
        const std::uint32_t lead = s[i];
        const std::size_t len = lead < 0x80         ? 1
                                : (lead >> 5) == 6  ? 2
                                : (lead >> 4) == 14 ? 3
                                : (lead >> 3) == 30 ? 4
                                                    : 0;
        std::uint32_t cp = lead & (0x7fu >> len);
        bool valid = len != 0 && n - i >= len;
        for (std::size_t k = 1; valid && k < len; ++k) {
            valid = (s[i + k] & 0xc0) == 0x80;
            cp = (cp << 6) | (s[i + k] & 0x3fu);
        }
        valid = valid && cp >= least[len] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
        if (!valid) {
            append_unit3(out, 0xfffd);
            ++i;
            continue;
        }
        if (cp < 0x10000) {
            out->append(reinterpret_cast<const char*>(s + i), len);
        } else {
            append_unit3(out, 0xd800 + ((cp - 0x10000) >> 10));
            append_unit3(out, 0xdc00 + ((cp - 0x10000) & 0x3ff));
        }
        i += len;
    }
}

// Throws IllegalStateException("<status> <body up to its first zero byte>")
// for the caller of loadRemoteMesh; nothing else is pending at this point.
// The message (up to three times the body's length) may not fit in memory:
// std::bad_alloc, with nothing thrown to Java.
void throw_status(JNIEnv* env, jint status, const NativeBody& body)
{
    const void* zero = std::memchr(body.bytes, 0, body.length);
    const std::size_t shown =
        zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - body.bytes) : body.length;
    std::string message = std::to_string(status) + " ";
    append_modified_utf8(&message, body.bytes, shown);
    throw_new(env, "java/lang/IllegalStateException", message.c_str());
}

// Decrypts the body in its own buffer, makes a Java array of the text the
// loader reads (up to its first zero byte) and frees the native copy, then
// wraps the array in a ByteArrayInputStream. Native memory peaks at the body
// itself: the text is never held twice in native memory, and the native copy
// is gone before the host's loader runs.
jobject decrypt_body(JNIEnv* env, NativeBody* body)
{
    const std::uint64_t n = mesh_text_in_place(body->bytes, body->length);
    jbyteArray array = env->NewByteArray(static_cast<jsize>(n));
    if (!step_ok(env, array, "NewByteArray")) return nullptr;
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(n), reinterpret_cast<const jbyte*>(body->bytes));
    std::free(body->bytes);
    body->bytes = nullptr;
    return new_object(env, "java/io/ByteArrayInputStream", "([B)V", array);
}

// The rest of a download, once the request has been sent: the status and
// body, then for status 200 the decryption and the host's loader. Returns the
// mesh, or null with the failure pending. *to_caller is set when that failure
// is the IllegalStateException of a status other than 200, which goes to the
// caller of loadRemoteMesh rather than to the callback. The body's native
// copy is freed on every path, also when a C++ exception leaves.
jobject receive_mesh(JNIEnv* env, jobject response, bool* to_caller)
{
    // The status, and the whole body into a native buffer.
    jint status = 0;
    NativeBody body;
    if (!read_response(env, response, &status, &body)) return nullptr;
    // Only 200 is success; any other status is thrown to the caller.
    if (status != 200) {
        throw_status(env, status, body);
        *to_caller = true;
        return nullptr;
    }
    // Decrypt, cut at the first zero byte, wrap in a ByteArrayInputStream.
    jobject stream = decrypt_body(env, &body);
    if (stream == nullptr) return nullptr;
    // The host's loader on that stream, with a null ResourceLocation.
    jobject loader = new_object(env, "quenby/tessaly/api/asset/JsonAssetLoader",
                                "(Ljava/io/InputStream;Lnet/morrow/resources/ResourceLocation;)V", stream,
                                static_cast<jobject>(nullptr));
    if (loader == nullptr) return nullptr;
    // The mesh it makes: loadMesh(true).
    return call_object(env, "quenby/tessaly/api/asset/JsonAssetLoader", loader, "loadMesh",
                       "(Z)Lquenby/tessaly/api/client/model/Mesh;", JNI_TRUE);
}

// The whole of loadRemoteMesh; see there. Runs inside run_guarded: a C++
// exception before the request is sent (the URL not fitting in memory)
// leaves its Java form pending for the caller, one after it reaches the
// callback like every failed step.
void load_remote_mesh(JNIEnv* env, jclass host, jstring base_url, jstring mesh_name, jobject callback)
{
    const Param params[] = {{"baseUrl", base_url}, {"meshName", mesh_name}};
    if (!require_arguments(env, params, nullptr, callback)) return;
    LocalFrame frame(env, mesh_frame_capacity);
    if (!frame.pushed) return; // OutOfMemoryError pending for the caller

    // GET base + /models/{name}.enc, blocking until the headers are in.
    std::string url;
    const bool composed = compose_url(env, "/models/{}.enc", params, &url);
    jobject request = composed ? create_get_request(env, std::move(url)) : nullptr;
    jobject response = request != nullptr ? send_inputstream_request(env, host, request) : nullptr;
    // Building or sending failed: the callback gets the exception.
    if (response == nullptr) return fail_to_callback(env, callback);
    // From here on every failure, a C++ one too, goes to the callback,
    // except the status exception.
    bool to_caller = false;
    jobject mesh = nullptr;
    run_guarded(env, [&] { mesh = receive_mesh(env, response, &to_caller); });
    if (to_caller) return;
    if (mesh == nullptr) return fail_to_callback(env, callback);
    // Success: the mesh to the callback.
    do_accept(env, mesh, callback);
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL TESSALY_NATIVE(autoLogin)(JNIEnv* env, jclass host, jstring base_url,
                                                 jstring player_id, jstring access_token,
                                                 jstring refresh_token, jstring provider, jobject callback)
{
    token_exchange(env, host, "/auto_login?mr_uuid={}&access_token={}&refresh_token={}&provider={}", base_url,
                   player_id, access_token, refresh_token, provider, callback);
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
    token_exchange(env, host, "/logout?mr_uuid={}&access_token={}&refresh_token={}&provider={}", base_url,
                   player_id, access_token, refresh_token, provider, callback);
}

JNIEXPORT void JNICALL TESSALY_NATIVE(getAvailableCosmetics)(JNIEnv* env, jclass host, jstring base_url,
                                                             jstring player_id, jstring access_token,
                                                             jstring refresh_token, jstring provider,
                                                             jobject callback)
{
    token_exchange(env, host, "/member/cosmetics?morrow_uuid={}&access_token={}&refresh_token={}&provider={}",
                   base_url, player_id, access_token, refresh_token, provider, callback);
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

// Downloads base URL + "/models/" + name + ".enc", decrypts it and has the
// host's JsonAssetLoader make a Mesh of it, all on the calling thread; the
// callback runs on this thread before the method returns, at most once.
// Which failure reaches the callback and which the caller: the outcome table
// of loadRemoteMesh in docs/host-developers.md.
JNIEXPORT void JNICALL TESSALY_NATIVE(loadRemoteMesh)(JNIEnv* env, jclass host, jstring base_url,
                                                      jstring mesh_name, jobject callback)
{
    run_guarded(env, [&] { load_remote_mesh(env, host, base_url, mesh_name, callback); });
}

} // extern "C"
