// loadRemoteMesh: a mesh's whole way from the service to the host, on the
// calling thread.
//
//   GET <base URL>/models/<name>.enc       send_inputstream_request, blocking
//   status and body                        read_response: the body's one native copy
//   status other than 200                  throw_status: IllegalStateException to the caller
//   decryption in place                    mesh_text_in_place (crypto/payload.h), cut at the first zero byte
//   the text as a Java InputStream         text_stream: new ByteArrayInputStream(byte[])
//   the host's loader                      new JsonAssetLoader(stream, null).loadMesh(true)
//   the mesh, or the failure               callback.accept(mesh, null) / accept(null, throwable)
//
// Which failure reaches the callback and which the caller: the outcome table
// of loadRemoteMesh in the host developers' guide. Each step returns null or
// false when it failed, with its Java exception pending, and the download
// hands that exception to the callback; only the status exception stays for
// the caller.
#include "bridge/http_bridge.h"
#include "bridge/jni_steps.h"
#include "bridge/native_args.h"
#include "crypto/huge_pages.h"
#include "crypto/payload.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

// Local references a download holds at once, with margin: it runs in a
// frame of its own so that -Xcheck:jni's default capacity of 16 is no limit.
constexpr jint mesh_frame_capacity = 32;
// Local references of one step's own frame, with margin.
constexpr jint step_frame_capacity = 16;

// Scope guard: the native copy of the response body (malloc'd), freed on
// every path, or early by text_stream once its text is in a Java array.
struct NativeBody {
    std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    ~NativeBody() { std::free(bytes); }
};

// response.statusCode() and the whole of response.body(), an InputStream,
// read with readAllBytes and copied into body. The Java array lives in this
// step's own frame, dropped when it returns, so that only the native copy
// remains. A body too large to copy raises OutOfMemoryError.
bool read_response(JNIEnv* env, jobject response, jint* status, NativeBody* body) noexcept
{
    LocalFrame frame(env, step_frame_capacity);
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

// Throws IllegalStateException("<status> <body up to its first zero byte>")
// for the caller; nothing else is pending here. The JVM reads the bytes as
// UTF-8 (new String(bytes, UTF_8): what starts no valid sequence becomes
// U+FFFD) and gives the text back in the modified UTF-8 that ThrowNew takes.
// False, with that step's exception pending (e.g. no memory for the text),
// when the message could not be made.
bool throw_status(JNIEnv* env, jint status, const NativeBody& body) noexcept
{
    LocalFrame frame(env, step_frame_capacity);
    if (!frame.pushed) return false;
    char prefix[16];
    const jsize p = std::snprintf(prefix, sizeof prefix, "%ld ", static_cast<long>(status));
    const void* zero = std::memchr(body.bytes, 0, body.length);
    std::size_t shown =
        zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - body.bytes) : body.length;
    if (shown > static_cast<std::size_t>(INT32_MAX - p)) shown = static_cast<std::size_t>(INT32_MAX - p);
    jbyteArray bytes = env->NewByteArray(p + static_cast<jsize>(shown));
    if (!step_ok(env, bytes, "NewByteArray")) return false;
    env->SetByteArrayRegion(bytes, 0, p, reinterpret_cast<const jbyte*>(prefix));
    env->SetByteArrayRegion(bytes, p, static_cast<jsize>(shown), reinterpret_cast<const jbyte*>(body.bytes));
    jstring name = env->NewStringUTF("UTF-8");
    if (!step_ok(env, name, "NewStringUTF")) return false;
    jobject utf8 = call_static_object(env, "java/nio/charset/Charset", "forName",
                                      "(Ljava/lang/String;)Ljava/nio/charset/Charset;", name);
    if (utf8 == nullptr) return false;
    auto text = static_cast<jstring>(
        new_object(env, "java/lang/String", "([BLjava/nio/charset/Charset;)V", bytes, utf8));
    if (text == nullptr) return false;
    const char* message = env->GetStringUTFChars(text, nullptr);
    if (message == nullptr) return false; // OutOfMemoryError pending
    throw_new(env, "java/lang/IllegalStateException", message);
    env->ReleaseStringUTFChars(text, message);
    return true;
}

// Decrypts the body in its own buffer, makes a Java array of the text the
// loader reads (up to its first zero byte) and frees the native copy, then
// wraps the array in a ByteArrayInputStream. Native memory peaks at the body
// itself: the text is never held twice in native memory, and the native copy
// is gone before the host's loader runs.
jobject text_stream(JNIEnv* env, NativeBody* body) noexcept
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
// mesh, or null with the failure pending; *to_caller is set when that failure
// is the status exception. The body's native copy is freed on every path.
jobject receive_mesh(JNIEnv* env, jobject response, bool* to_caller) noexcept
{
    jint status = 0;
    NativeBody body;
    if (!read_response(env, response, &status, &body)) return nullptr;
    if (status != 200) {
        *to_caller = throw_status(env, status, body);
        return nullptr;
    }
    jobject stream = text_stream(env, &body);
    if (stream == nullptr) return nullptr;
    jobject loader = new_object(env, "quenby/tessaly/api/asset/JsonAssetLoader",
                                "(Ljava/io/InputStream;Lnet/morrow/resources/ResourceLocation;)V", stream,
                                static_cast<jobject>(nullptr));
    if (loader == nullptr) return nullptr;
    return call_object(env, "quenby/tessaly/api/asset/JsonAssetLoader", loader, "loadMesh",
                       "(Z)Lquenby/tessaly/api/client/model/Mesh;", JNI_TRUE);
}

// Takes the pending exception, clears it and calls callback.accept(null, it):
// the callback sees the failure once, the caller sees none (unless the
// callback itself throws, which then stays pending).
void fail_to_callback(JNIEnv* env, jobject callback) noexcept
{
    jthrowable failure = env->ExceptionOccurred();
    if (failure == nullptr) return; // nothing pending: not reached
    env->ExceptionClear();
    do_accept_error(env, failure, callback);
}

// The whole download. Only composing the URL allocates in C++: its
// std::bad_alloc leaves the call before anything is sent, and run_guarded
// at the entry leaves it pending for the caller as OutOfMemoryError.
void load_remote_mesh(JNIEnv* env, jclass host, jstring base_url, jstring mesh_name, jobject callback)
{
    const Param params[] = {{"baseUrl", base_url}, {"meshName", mesh_name}};
    if (!require_arguments(env, params, nullptr, callback)) return;
    LocalFrame frame(env, mesh_frame_capacity);
    if (!frame.pushed) return; // OutOfMemoryError pending for the caller

    std::string url;
    const bool composed = compose_url(env, "/models/{}.enc", params, &url);
    jobject request = composed ? create_get_request(env, std::move(url)) : nullptr;
    jobject response = request != nullptr ? send_inputstream_request(env, host, request) : nullptr;
    if (response == nullptr) return fail_to_callback(env, callback);
    bool to_caller = false;
    jobject mesh = receive_mesh(env, response, &to_caller);
    if (to_caller) return;
    if (mesh == nullptr) return fail_to_callback(env, callback);
    do_accept(env, mesh, callback);
}

} // namespace

// Downloads base URL + "/models/" + name + ".enc", decrypts it and has the
// host's JsonAssetLoader make a Mesh of it, all on the calling thread; the
// callback runs on this thread before the method returns, at most once.
extern "C" JNIEXPORT void JNICALL TESSALY_NATIVE(loadRemoteMesh)(JNIEnv* env, jclass host, jstring base_url,
                                                                 jstring mesh_name, jobject callback)
{
    run_guarded(env, [&] { load_remote_mesh(env, host, base_url, mesh_name, callback); });
}
