#include "bridge/http_bridge.h"

// Every routine runs inside its own JNI local frame: the look-ups and
// intermediate objects of one routine are more than the 16 local references
// a native frame is guaranteed, so they are released together when the
// routine leaves and only the result survives into the caller's frame.
// PushLocalFrame and PopLocalFrame may be called with an exception pending.

namespace {

constexpr jint frame_capacity = 16;

// True when the last JNI step failed: a null result or a pending exception.
// Every step that can throw is followed by this test.
bool failed(JNIEnv* env, const void* result)
{
    return env->ExceptionCheck() || result == nullptr;
}

// Raises NullPointerException(message) for a null that Java would have
// rejected the same way; the routine then stops as after any failed step.
void throw_null_pointer(JNIEnv* env, const char* message)
{
    jclass npe = env->FindClass("java/lang/NullPointerException");
    if (!failed(env, npe)) env->ThrowNew(npe, message);
}

// Leaves the routine's frame, handing result (or null on failure) to the
// caller's frame.
jobject leave(JNIEnv* env, jobject result)
{
    return env->PopLocalFrame(result);
}

// HttpRequest.newBuilder() and the builder class. Null on failure.
jobject new_builder(JNIEnv* env, jclass* builder_class)
{
    jclass request_class = env->FindClass("java/net/http/HttpRequest");
    if (failed(env, request_class)) return nullptr;
    jmethodID new_builder = env->GetStaticMethodID(request_class, "newBuilder",
                                                   "()Ljava/net/http/HttpRequest$Builder;");
    if (failed(env, new_builder)) return nullptr;
    jobject builder = env->CallStaticObjectMethod(request_class, new_builder);
    if (failed(env, builder)) return nullptr;
    *builder_class = env->FindClass("java/net/http/HttpRequest$Builder");
    if (failed(env, *builder_class)) return nullptr;
    return builder;
}

// URI.create(url). Null with IllegalArgumentException pending when java.net.URI
// rejects the text.
jobject create_uri(JNIEnv* env, const std::string& url)
{
    jclass uri_class = env->FindClass("java/net/URI");
    if (failed(env, uri_class)) return nullptr;
    jmethodID create = env->GetStaticMethodID(uri_class, "create", "(Ljava/lang/String;)Ljava/net/URI;");
    if (failed(env, create)) return nullptr;
    jstring text = env->NewStringUTF(url.c_str());
    if (failed(env, text)) return nullptr;
    jobject uri = env->CallStaticObjectMethod(uri_class, create, text);
    if (failed(env, uri)) return nullptr;
    return uri;
}

// Calls a builder method returning a builder: builder.method(args...).
template <typename... Args>
jobject chain(JNIEnv* env, jobject builder, jmethodID method, Args... args)
{
    jobject next = env->CallObjectMethod(builder, method, args...);
    return failed(env, next) ? nullptr : next;
}

// The shared part of the three sends: HTTP_CLIENT.<method>(request, BodyHandlers.<handler>()).
// A null HTTP_CLIENT raises NullPointerException, as the same call in Java would.
jobject send(JNIEnv* env, jclass host, jobject request, const char* method, const char* method_signature,
             const char* handler)
{
    if (env->PushLocalFrame(frame_capacity) != 0) return nullptr;
    jfieldID field = env->GetStaticFieldID(host, "HTTP_CLIENT", "Ljava/net/http/HttpClient;");
    if (failed(env, field)) return leave(env, nullptr);
    jobject client = env->GetStaticObjectField(host, field);
    if (env->ExceptionCheck()) return leave(env, nullptr);
    if (client == nullptr) {
        throw_null_pointer(env, "HTTP_CLIENT is null");
        return leave(env, nullptr);
    }
    jclass client_class = env->FindClass("java/net/http/HttpClient");
    if (failed(env, client_class)) return leave(env, nullptr);
    jmethodID send_method = env->GetMethodID(client_class, method, method_signature);
    if (failed(env, send_method)) return leave(env, nullptr);
    jclass handlers = env->FindClass("java/net/http/HttpResponse$BodyHandlers");
    if (failed(env, handlers)) return leave(env, nullptr);
    jmethodID handler_factory =
        env->GetStaticMethodID(handlers, handler, "()Ljava/net/http/HttpResponse$BodyHandler;");
    if (failed(env, handler_factory)) return leave(env, nullptr);
    jobject body_handler = env->CallStaticObjectMethod(handlers, handler_factory);
    if (failed(env, body_handler)) return leave(env, nullptr);
    jobject result = env->CallObjectMethod(client, send_method, request, body_handler);
    if (failed(env, result)) return leave(env, nullptr);
    return leave(env, result);
}

constexpr const char* send_signature =
    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)Ljava/net/http/HttpResponse;";
constexpr const char* send_async_signature =
    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)"
    "Ljava/util/concurrent/CompletableFuture;";

// callback.accept(first, second). BiConsumer.accept returns void, so it is
// invoked with CallVoidMethod, as JNI requires for a void method.
void accept(JNIEnv* env, jobject first, jobject second, jobject callback)
{
    if (env->PushLocalFrame(frame_capacity) != 0) return;
    if (callback == nullptr) {
        throw_null_pointer(env, "callback is null");
        leave(env, nullptr);
        return;
    }
    jclass consumer = env->FindClass("java/util/function/BiConsumer");
    if (!failed(env, consumer)) {
        jmethodID accept_method = env->GetMethodID(consumer, "accept", "(Ljava/lang/Object;Ljava/lang/Object;)V");
        if (!failed(env, accept_method)) {
            env->CallVoidMethod(callback, accept_method, first, second);
            env->ExceptionCheck(); // whatever accept threw stays pending for the caller
        }
    }
    leave(env, nullptr);
}

} // namespace

jobject create_get_request(JNIEnv* env, std::string url)
{
    if (env->PushLocalFrame(frame_capacity) != 0) return nullptr;
    jclass builder_class = nullptr;
    jobject builder = new_builder(env, &builder_class);
    if (builder == nullptr) return leave(env, nullptr);
    jmethodID get = env->GetMethodID(builder_class, "GET", "()Ljava/net/http/HttpRequest$Builder;");
    if (failed(env, get)) return leave(env, nullptr);
    jmethodID uri = env->GetMethodID(builder_class, "uri", "(Ljava/net/URI;)Ljava/net/http/HttpRequest$Builder;");
    if (failed(env, uri)) return leave(env, nullptr);
    jmethodID build = env->GetMethodID(builder_class, "build", "()Ljava/net/http/HttpRequest;");
    if (failed(env, build)) return leave(env, nullptr);
    jobject target = create_uri(env, url);
    if (target == nullptr) return leave(env, nullptr);

    jobject step = chain(env, builder, get);
    if (step != nullptr) step = chain(env, step, uri, target);
    if (step != nullptr) step = chain(env, step, build);
    return leave(env, step);
}

jobject create_post_request(JNIEnv* env, std::string url, jstring body)
{
    if (env->PushLocalFrame(frame_capacity) != 0) return nullptr;
    jclass builder_class = nullptr;
    jobject builder = new_builder(env, &builder_class);
    if (builder == nullptr) return leave(env, nullptr);
    jmethodID post = env->GetMethodID(builder_class, "POST",
                                      "(Ljava/net/http/HttpRequest$BodyPublisher;)Ljava/net/http/HttpRequest$Builder;");
    if (failed(env, post)) return leave(env, nullptr);
    jmethodID header = env->GetMethodID(builder_class, "header",
                                        "(Ljava/lang/String;Ljava/lang/String;)Ljava/net/http/HttpRequest$Builder;");
    if (failed(env, header)) return leave(env, nullptr);
    jmethodID uri = env->GetMethodID(builder_class, "uri", "(Ljava/net/URI;)Ljava/net/http/HttpRequest$Builder;");
    if (failed(env, uri)) return leave(env, nullptr);
    jmethodID build = env->GetMethodID(builder_class, "build", "()Ljava/net/http/HttpRequest;");
    if (failed(env, build)) return leave(env, nullptr);
    jobject target = create_uri(env, url);
    if (target == nullptr) return leave(env, nullptr);
    jstring name = env->NewStringUTF("Content-Type");
    if (failed(env, name)) return leave(env, nullptr);
    jstring value = env->NewStringUTF("application/json");
    if (failed(env, value)) return leave(env, nullptr);
    jclass publishers = env->FindClass("java/net/http/HttpRequest$BodyPublishers");
    if (failed(env, publishers)) return leave(env, nullptr);
    jmethodID of_string = env->GetStaticMethodID(publishers, "ofString",
                                                 "(Ljava/lang/String;)Ljava/net/http/HttpRequest$BodyPublisher;");
    if (failed(env, of_string)) return leave(env, nullptr);
    jobject publisher = env->CallStaticObjectMethod(publishers, of_string, body);
    if (failed(env, publisher)) return leave(env, nullptr);

    jobject step = chain(env, builder, post, publisher);
    if (step != nullptr) step = chain(env, step, header, name, value);
    if (step != nullptr) step = chain(env, step, uri, target);
    if (step != nullptr) step = chain(env, step, build);
    return leave(env, step);
}

jobject send_request(JNIEnv* env, jclass host, jobject request)
{
    return send(env, host, request, "send", send_signature, "ofString");
}

jobject send_inputstream_request(JNIEnv* env, jclass host, jobject request)
{
    return send(env, host, request, "send", send_signature, "ofInputStream");
}

jobject send_string_request_async(JNIEnv* env, jclass host, jobject request)
{
    return send(env, host, request, "sendAsync", send_async_signature, "ofString");
}

jobject do_complete_future(JNIEnv* env, jobject future, jobject callback)
{
    if (env->PushLocalFrame(frame_capacity) != 0) return nullptr;
    if (future == nullptr) {
        throw_null_pointer(env, "future is null");
        return leave(env, nullptr);
    }
    jclass future_class = env->FindClass("java/util/concurrent/CompletableFuture");
    if (failed(env, future_class)) return leave(env, nullptr);
    jmethodID when_complete = env->GetMethodID(future_class, "whenComplete",
                                               "(Ljava/util/function/BiConsumer;)Ljava/util/concurrent/CompletableFuture;");
    if (failed(env, when_complete)) return leave(env, nullptr);
    jobject dependent = env->CallObjectMethod(future, when_complete, callback);
    if (failed(env, dependent)) return leave(env, nullptr);
    return leave(env, dependent);
}

void do_accept(JNIEnv* env, jobject value, jobject callback)
{
    accept(env, value, nullptr, callback);
}

void do_accept_error(JNIEnv* env, jthrowable throwable, jobject callback)
{
    accept(env, nullptr, throwable, callback);
}
