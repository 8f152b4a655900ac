#include "bridge/http_bridge.h"

#include "bridge/jni_steps.h"

// Every routine runs inside its own JNI local frame: the look-ups and
// intermediate objects of one routine are more than the 16 local references
// a native frame is guaranteed, so they are released together when the
// routine leaves and only the result survives into the caller's frame.
// Every step that can fail is checked (jni_steps.h), so a routine that
// returns null always leaves its exception pending.

namespace {

// Local references a routine holds at once, with margin: a look-up-and-call
// step makes two (the class and its result); a POST request holds the most.
constexpr jint frame_capacity = 32;

constexpr const char* builder_class = "java/net/http/HttpRequest$Builder";

// URI.create(url). Null with IllegalArgumentException pending when java.net.URI
// rejects the text.
jobject create_uri(JNIEnv* env, const std::string& url) noexcept
{
    jstring text = env->NewStringUTF(url.c_str());
    if (!step_ok(env, text, "NewStringUTF")) return nullptr;
    return call_static_object(env, "java/net/URI", "create", "(Ljava/lang/String;)Ljava/net/URI;", text);
}

// builder.name(args...) for a method of descriptor sig that returns the
// builder or the request; null, doing nothing, when builder is null (an
// earlier step failed).
template <typename... Args>
jobject chain(JNIEnv* env, jobject builder, const char* name, const char* sig, Args... args) noexcept
{
    if (builder == nullptr) return nullptr;
    return call_object(env, builder_class, builder, name, sig, args...);
}

// HttpRequest.newBuilder(URI.create(url)); null on failure, with
// IllegalArgumentException pending when java.net.URI or the builder rejects
// the URL.
jobject new_builder(JNIEnv* env, const std::string& url) noexcept
{
    jobject target = create_uri(env, url);
    if (target == nullptr) return nullptr;
    return call_static_object(env, "java/net/http/HttpRequest", "newBuilder",
                              "(Ljava/net/URI;)Ljava/net/http/HttpRequest$Builder;", target);
}

// The shared part of the three sends: HTTP_CLIENT.<method>(request, BodyHandlers.<handler>()).
// A null HTTP_CLIENT raises NullPointerException, as the same call in Java would.
jobject send(JNIEnv* env, jclass host, jobject request, const char* method, const char* method_signature,
             const char* handler) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return nullptr;
    jfieldID field = env->GetStaticFieldID(host, "HTTP_CLIENT", "Ljava/net/http/HttpClient;");
    if (!step_ok(env, field, "HTTP_CLIENT")) return nullptr;
    jobject client = env->GetStaticObjectField(host, field);
    if (env->ExceptionCheck()) return nullptr;
    if (client == nullptr) {
        throw_new(env, "java/lang/NullPointerException", "HTTP_CLIENT is null");
        return nullptr;
    }
    jobject body_handler = call_static_object(env, "java/net/http/HttpResponse$BodyHandlers", handler,
                                              "()Ljava/net/http/HttpResponse$BodyHandler;");
    if (body_handler == nullptr) return nullptr;
    return frame.keep(call_object(env, "java/net/http/HttpClient", client, method, method_signature, request,
                                  body_handler));
}

constexpr const char* send_signature =
    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)Ljava/net/http/HttpResponse;";
constexpr const char* send_async_signature =
    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)"
    "Ljava/util/concurrent/CompletableFuture;";

// callback.accept(first, second). Whatever accept throws stays pending for
// the caller.
void accept(JNIEnv* env, jobject first, jobject second, jobject callback) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return;
    if (callback == nullptr) {
        throw_new(env, "java/lang/NullPointerException", "callback is null");
        return;
    }
    call_void(env, "java/util/function/BiConsumer", callback, "accept",
              "(Ljava/lang/Object;Ljava/lang/Object;)V", first, second);
}

} // namespace

jobject create_get_request(JNIEnv* env, std::string url) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return nullptr;
    jobject builder = chain(env, new_builder(env, url), "GET", "()Ljava/net/http/HttpRequest$Builder;");
    return frame.keep(chain(env, builder, "build", "()Ljava/net/http/HttpRequest;"));
}

jobject create_post_request(JNIEnv* env, std::string url, jstring body) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return nullptr;
    jobject builder = new_builder(env, url);
    if (builder == nullptr) return nullptr;
    jstring name = env->NewStringUTF("Content-Type");
    if (!step_ok(env, name, "NewStringUTF")) return nullptr;
    jstring value = env->NewStringUTF("application/json");
    if (!step_ok(env, value, "NewStringUTF")) return nullptr;
    jobject publisher =
        call_static_object(env, "java/net/http/HttpRequest$BodyPublishers", "ofString",
                           "(Ljava/lang/String;)Ljava/net/http/HttpRequest$BodyPublisher;", body);
    if (publisher == nullptr) return nullptr;
    builder =
        chain(env, builder, "POST",
              "(Ljava/net/http/HttpRequest$BodyPublisher;)Ljava/net/http/HttpRequest$Builder;", publisher);
    builder = chain(env, builder, "header",
                    "(Ljava/lang/String;Ljava/lang/String;)Ljava/net/http/HttpRequest$Builder;", name, value);
    return frame.keep(chain(env, builder, "build", "()Ljava/net/http/HttpRequest;"));
}

jobject send_request(JNIEnv* env, jclass host, jobject request) noexcept
{
    return send(env, host, request, "send", send_signature, "ofString");
}

jobject send_inputstream_request(JNIEnv* env, jclass host, jobject request) noexcept
{
    return send(env, host, request, "send", send_signature, "ofInputStream");
}

jobject send_string_request_async(JNIEnv* env, jclass host, jobject request) noexcept
{
    return send(env, host, request, "sendAsync", send_async_signature, "ofString");
}

jobject do_complete_future(JNIEnv* env, jobject future, jobject callback) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return nullptr;
    if (future == nullptr) {
        throw_new(env, "java/lang/NullPointerException", "future is null");
        return nullptr;
    }
    return frame.keep(call_object(env, "java/util/concurrent/CompletableFuture", future, "whenComplete",
                                  "(Ljava/util/function/BiConsumer;)Ljava/util/concurrent/CompletableFuture;",
                                  callback));
}

void do_accept(JNIEnv* env, jobject value, jobject callback) noexcept
{
    accept(env, value, nullptr, callback);
}

void do_accept_error(JNIEnv* env, jthrowable throwable, jobject callback) noexcept
{
    accept(env, nullptr, throwable, callback);
}
