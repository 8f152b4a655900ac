#include "bridge/http_bridge.h"

#include "bridge/jni_steps.h"

// Every routine runs inside its own JNI local frame: the look-ups and
// intermediate objects of one routine are more than the 16 local references
// a native frame is guaranteed, so they are released together when the
// routine leaves and only the result survives into the caller's frame.
// Every step that can fail is followed by step_ok, so a routine that returns
// null always leaves its exception pending.

namespace {

constexpr jint frame_capacity = 16;

// HttpRequest.newBuilder() and the builder class. Null on failure.
jobject new_builder(JNIEnv* env, jclass* builder_class) noexcept
{
    jclass request_class = env->FindClass("java/net/http/HttpRequest");
    if (!step_ok(env, request_class, "java/net/http/HttpRequest")) return nullptr;
    jmethodID new_builder =
        env->GetStaticMethodID(request_class, "newBuilder", "()Ljava/net/http/HttpRequest$Builder;");
    if (!step_ok(env, new_builder, "newBuilder")) return nullptr;
    jobject builder = env->CallStaticObjectMethod(request_class, new_builder);
    if (!step_ok(env, builder, "newBuilder")) return nullptr;
    *builder_class = env->FindClass("java/net/http/HttpRequest$Builder");
    if (!step_ok(env, *builder_class, "java/net/http/HttpRequest$Builder")) return nullptr;
    return builder;
}

// URI.create(url). Null with IllegalArgumentException pending when java.net.URI
// rejects the text.
jobject create_uri(JNIEnv* env, const std::string& url) noexcept
{
    jclass uri_class = env->FindClass("java/net/URI");
    if (!step_ok(env, uri_class, "java/net/URI")) return nullptr;
    jmethodID create = env->GetStaticMethodID(uri_class, "create", "(Ljava/lang/String;)Ljava/net/URI;");
    if (!step_ok(env, create, "create")) return nullptr;
    jstring text = env->NewStringUTF(url.c_str());
    if (!step_ok(env, text, "NewStringUTF")) return nullptr;
    jobject uri = env->CallStaticObjectMethod(uri_class, create, text);
    if (!step_ok(env, uri, "create")) return nullptr;
    return uri;
}

// Calls a builder method returning a builder: builder.method(args...).
template <typename... Args>
jobject chain(JNIEnv* env, jobject builder, jmethodID method, Args... args) noexcept
{
    jobject next = env->CallObjectMethod(builder, method, args...);
    return step_ok(env, next, "HttpRequest.Builder") ? next : nullptr;
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
    jclass client_class = env->FindClass("java/net/http/HttpClient");
    if (!step_ok(env, client_class, "java/net/http/HttpClient")) return nullptr;
    jmethodID send_method = env->GetMethodID(client_class, method, method_signature);
    if (!step_ok(env, send_method, method)) return nullptr;
    jclass handlers = env->FindClass("java/net/http/HttpResponse$BodyHandlers");
    if (!step_ok(env, handlers, "java/net/http/HttpResponse$BodyHandlers")) return nullptr;
    jmethodID handler_factory =
        env->GetStaticMethodID(handlers, handler, "()Ljava/net/http/HttpResponse$BodyHandler;");
    if (!step_ok(env, handler_factory, handler)) return nullptr;
    jobject body_handler = env->CallStaticObjectMethod(handlers, handler_factory);
    if (!step_ok(env, body_handler, handler)) return nullptr;
    jobject result = env->CallObjectMethod(client, send_method, request, body_handler);
    if (!step_ok(env, result, method)) return nullptr;
    return frame.keep(result);
}

constexpr const char* send_signature =
    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)Ljava/net/http/HttpResponse;";
constexpr const char* send_async_signature =
    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)"
    "Ljava/util/concurrent/CompletableFuture;";

// callback.accept(first, second). BiConsumer.accept returns void, so it is
// invoked with CallVoidMethod, as JNI requires for a void method.
void accept(JNIEnv* env, jobject first, jobject second, jobject callback) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return;
    if (callback == nullptr) {
        throw_new(env, "java/lang/NullPointerException", "callback is null");
        return;
    }
    jclass consumer = env->FindClass("java/util/function/BiConsumer");
    if (!step_ok(env, consumer, "java/util/function/BiConsumer")) return;
    jmethodID accept_method = env->GetMethodID(consumer, "accept", "(Ljava/lang/Object;Ljava/lang/Object;)V");
    if (!step_ok(env, accept_method, "accept")) return;
    env->CallVoidMethod(callback, accept_method, first, second);
    // The result is not needed (whatever accept threw stays pending for the
    // caller), but JNI asks for an exception check after a call into Java
    // before the next JNI call, and -Xcheck:jni warns without one.
    env->ExceptionCheck();
}

} // namespace

jobject create_get_request(JNIEnv* env, std::string url) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return nullptr;
    jclass builder_class = nullptr;
    jobject builder = new_builder(env, &builder_class);
    if (builder == nullptr) return nullptr;
    jmethodID get = env->GetMethodID(builder_class, "GET", "()Ljava/net/http/HttpRequest$Builder;");
    if (!step_ok(env, get, "GET")) return nullptr;
    jmethodID uri =
        env->GetMethodID(builder_class, "uri", "(Ljava/net/URI;)Ljava/net/http/HttpRequest$Builder;");
    if (!step_ok(env, uri, "uri")) return nullptr;
    jmethodID build = env->GetMethodID(builder_class, "build", "()Ljava/net/http/HttpRequest;");
    if (!step_ok(env, build, "build")) return nullptr;
    jobject target = create_uri(env, url);
    if (target == nullptr) return nullptr;

    jobject step = chain(env, builder, get);
    if (step != nullptr) step = chain(env, step, uri, target);
    if (step != nullptr) step = chain(env, step, build);
    return frame.keep(step);
}

jobject create_post_request(JNIEnv* env, std::string url, jstring body) noexcept
{
    LocalFrame frame(env, frame_capacity);
    if (!frame.pushed) return nullptr;
    jclass builder_class = nullptr;
    jobject builder = new_builder(env, &builder_class);
    if (builder == nullptr) return nullptr;
    jmethodID post =
        env->GetMethodID(builder_class, "POST",
                         "(Ljava/net/http/HttpRequest$BodyPublisher;)Ljava/net/http/HttpRequest$Builder;");
    if (!step_ok(env, post, "POST")) return nullptr;
    jmethodID header = env->GetMethodID(
        builder_class, "header", "(Ljava/lang/String;Ljava/lang/String;)Ljava/net/http/HttpRequest$Builder;");
    if (!step_ok(env, header, "header")) return nullptr;
    jmethodID uri =
        env->GetMethodID(builder_class, "uri", "(Ljava/net/URI;)Ljava/net/http/HttpRequest$Builder;");
    if (!step_ok(env, uri, "uri")) return nullptr;
    jmethodID build = env->GetMethodID(builder_class, "build", "()Ljava/net/http/HttpRequest;");
    if (!step_ok(env, build, "build")) return nullptr;
    jobject target = create_uri(env, url);
    if (target == nullptr) return nullptr;
    jstring name = env->NewStringUTF("Content-Type");
    if (!step_ok(env, name, "NewStringUTF")) return nullptr;
    jstring value = env->NewStringUTF("application/json");
    if (!step_ok(env, value, "NewStringUTF")) return nullptr;
    jclass publishers = env->FindClass("java/net/http/HttpRequest$BodyPublishers");
    if (!step_ok(env, publishers, "java/net/http/HttpRequest$BodyPublishers")) return nullptr;
    jmethodID of_string = env->GetStaticMethodID(
        publishers, "ofString", "(Ljava/lang/String;)Ljava/net/http/HttpRequest$BodyPublisher;");
    if (!step_ok(env, of_string, "ofString")) return nullptr;
    jobject publisher = env->CallStaticObjectMethod(publishers, of_string, body);
    if (!step_ok(env, publisher, "ofString")) return nullptr;

    jobject step = chain(env, builder, post, publisher);
    if (step != nullptr) step = chain(env, step, header, name, value);
    if (step != nullptr) step = chain(env, step, uri, target);
    if (step != nullptr) step = chain(env, step, build);
    return frame.keep(step);
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
    jclass future_class = env->FindClass("java/util/concurrent/CompletableFuture");
    if (!step_ok(env, future_class, "java/util/concurrent/CompletableFuture")) return nullptr;
    jmethodID when_complete =
        env->GetMethodID(future_class, "whenComplete",
                         "(Ljava/util/function/BiConsumer;)Ljava/util/concurrent/CompletableFuture;");
    if (!step_ok(env, when_complete, "whenComplete")) return nullptr;
    jobject dependent = env->CallObjectMethod(future, when_complete, callback);
    if (!step_ok(env, dependent, "whenComplete")) return nullptr;
    return frame.keep(dependent);
}

void do_accept(JNIEnv* env, jobject value, jobject callback) noexcept
{
    accept(env, value, nullptr, callback);
}

void do_accept_error(JNIEnv* env, jthrowable throwable, jobject callback) noexcept
{
    accept(env, nullptr, throwable, callback);
}
