// The JNI request routines driven from C++ with a real JVM (started once, with
// -Xcheck:jni), the JDK's HttpClient and the reference service on 127.0.0.1.
// Java-side conveniences live in bridgetest.BridgeProbe / RecordingCallback.
#include "bridge/http_bridge.h"
#include "bridge/jni_steps.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <new>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace {

JavaVM* g_vm = nullptr;
JNIEnv* g_env = nullptr;
std::string g_base; // base URL of the reference service

const char* const host_class_name = "quenby/tessaly/client/online/TessalyServerConnectionHelper";

// Fails the current test if a Java exception is pending, describing it.
void expect_no_exception(const char* where)
{
    if (g_env->ExceptionCheck()) {
        g_env->ExceptionDescribe();
        g_env->ExceptionClear();
        ADD_FAILURE() << "Java exception pending after " << where;
    }
}

std::string class_name(jobject o);

// Takes the pending exception and returns its class name ("" if none).
std::string take_exception()
{
    jthrowable t = g_env->ExceptionOccurred();
    if (t == nullptr) return "";
    g_env->ExceptionClear();
    return class_name(t);
}

std::string to_std(jobject s)
{
    if (s == nullptr) return "<null>";
    const char* chars = g_env->GetStringUTFChars(static_cast<jstring>(s), nullptr);
    std::string out = chars;
    g_env->ReleaseStringUTFChars(static_cast<jstring>(s), chars);
    return out;
}

jstring jstr(const char* s) { return g_env->NewStringUTF(s); }

// An object-returning call: a static method of cls, or an instance method of target.
jobject call_v(jclass cls, jobject target, const char* name, const char* sig, va_list args)
{
    jmethodID m = target ? g_env->GetMethodID(cls, name, sig) : g_env->GetStaticMethodID(cls, name, sig);
    expect_no_exception(name);
    jobject result =
        target ? g_env->CallObjectMethodV(target, m, args) : g_env->CallStaticObjectMethodV(cls, m, args);
    expect_no_exception(name);
    return result;
}

jobject call_static(const char* cls_name, const char* name, const char* sig, ...)
{
    jclass cls = g_env->FindClass(cls_name);
    expect_no_exception(cls_name);
    va_list args;
    va_start(args, sig);
    jobject result = call_v(cls, nullptr, name, sig, args);
    va_end(args);
    return result;
}

jobject call(jobject target, const char* name, const char* sig, ...)
{
    va_list args;
    va_start(args, sig);
    jobject result = call_v(g_env->GetObjectClass(target), target, name, sig, args);
    va_end(args);
    return result;
}

std::string describe(jobject request)
{
    return to_std(call_static("bridgetest/BridgeProbe", "describe",
                              "(Ljava/net/http/HttpRequest;)Ljava/lang/String;", request));
}

std::string summary(jobject response)
{
    return to_std(call_static("bridgetest/BridgeProbe", "summary",
                              "(Ljava/net/http/HttpResponse;)Ljava/lang/String;", response));
}

std::string next_request()
{
    return to_std(call_static("bridgetest/BridgeProbe", "nextRequest", "()Ljava/lang/String;"));
}

std::string class_name(jobject o)
{
    return to_std(
        call_static("bridgetest/BridgeProbe", "className", "(Ljava/lang/Object;)Ljava/lang/String;", o));
}

jobject new_callback(bool throwing = false)
{
    jclass cls = g_env->FindClass("bridgetest/RecordingCallback");
    jmethodID ctor = g_env->GetMethodID(cls, "<init>", "(Z)V");
    jobject cb = g_env->NewObject(cls, ctor, static_cast<jboolean>(throwing));
    expect_no_exception("new RecordingCallback");
    g_env->DeleteLocalRef(cls);
    return cb;
}

int int_call(jobject target, const char* name)
{
    jclass cls = g_env->GetObjectClass(target);
    jint v = g_env->CallIntMethod(target, g_env->GetMethodID(cls, name, "()I"));
    expect_no_exception(name);
    return v;
}

bool bool_call(jobject target, const char* name, const char* sig, ...)
{
    jclass cls = g_env->GetObjectClass(target);
    va_list args;
    va_start(args, sig);
    jboolean v = g_env->CallBooleanMethodV(target, g_env->GetMethodID(cls, name, sig), args);
    va_end(args);
    expect_no_exception(name);
    return v == JNI_TRUE;
}

jclass host_class()
{
    jclass cls = g_env->FindClass(host_class_name);
    expect_no_exception("FindClass host");
    return cls;
}

// Each test runs in its own local frame, so references never pile up in the
// thread's base frame.
class Bridge : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(g_env->PushLocalFrame(1000), 0);
        call_static("bridgetest/BridgeProbe", "reset", "()V");
    }
    void TearDown() override
    {
        expect_no_exception("test body");
        g_env->PopLocalFrame(nullptr);
    }
};

TEST_F(Bridge, GetRequestCarriesMethodAndUriUnchanged)
{
    // Query text, "%41" and an empty value pass through untouched.
    std::string url = g_base + "/login_code?mr_uuid=a%41b&code=";
    jobject request = create_get_request(g_env, url);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(describe(request), "GET " + url + "\n\n");
}

TEST_F(Bridge, PostRequestAddsExactlyOneHeaderAndKeepsTheBody)
{
    const char* body = "{\"cape\":\"Gr\xc3\xbc\xc3\x9f"
                       "e \xe2\x82\xac\",\"hat\":null}";
    jobject request = create_post_request(g_env, g_base + "/member/update_cosmetic", jstr(body));
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(describe(request),
              "POST " + g_base + "/member/update_cosmetic\nContent-Type: application/json\n\n" + body);

    // And as it arrives at the server, byte for byte.
    jobject response = send_request(g_env, host_class(), request);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(summary(response), "200 {\"status\":\"saved\"}");
    std::string arrived = next_request();
    EXPECT_EQ(arrived.substr(0, arrived.find('\n')), "POST /member/update_cosmetic");
    EXPECT_NE(arrived.find("\nContent-type: application/json\n"), std::string::npos) << arrived;
    EXPECT_EQ(arrived.substr(arrived.find("\n\n") + 2), body);
}

TEST_F(Bridge, RejectedUrlsLeaveIllegalArgumentExceptionAndReturnNull)
{
    // A space (rejected by URI.create), a relative URI and an unsupported
    // scheme (both rejected later, by the builder's uri step).
    for (const char* url : {"http://127.0.0.1:1/a b", "/no/scheme", "ftp://127.0.0.1/x", ""}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(create_get_request(g_env, url), nullptr);
        EXPECT_EQ(take_exception(), "java.lang.IllegalArgumentException");
        EXPECT_EQ(create_post_request(g_env, url, jstr("{}")), nullptr);
        EXPECT_EQ(take_exception(), "java.lang.IllegalArgumentException");
    }
}

TEST_F(Bridge, PostWithNullBodyLeavesNullPointerException)
{
    EXPECT_EQ(create_post_request(g_env, g_base + "/member/update_cosmetic", nullptr), nullptr);
    EXPECT_EQ(take_exception(), "java.lang.NullPointerException");
}

TEST_F(Bridge, SyncSendsReturnAnyStatusAsAResponse)
{
    call_static("bridgetest/BridgeProbe", "respond", "(Ljava/lang/String;ILjava/lang/String;)V",
                jstr("/logout"), 500, jstr("boom"));
    jobject ok = send_request(g_env, host_class(),
                              create_get_request(g_env, g_base + "/cosmetic/user_cosmetic?mr_uuid=u"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(summary(ok), "200 {\"status\":\"ok\",\"cape\":\"cape_aurora\",\"hat\":null}");
    jobject missing = send_request(g_env, host_class(), create_get_request(g_env, g_base + "/nowhere"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(summary(missing), "404 not found");
    jobject failing =
        send_inputstream_request(g_env, host_class(), create_get_request(g_env, g_base + "/logout"));
    ASSERT_NE(failing, nullptr);
    EXPECT_EQ(summary(failing), "500 boom");
}

TEST_F(Bridge, InputStreamSendGivesAStreamBody)
{
    jobject response =
        send_inputstream_request(g_env, host_class(), create_get_request(g_env, g_base + "/logout"));
    ASSERT_NE(response, nullptr);
    jobject body = call(response, "body", "()Ljava/lang/Object;");
    jclass input_stream = g_env->FindClass("java/io/InputStream");
    EXPECT_TRUE(g_env->IsInstanceOf(body, input_stream));
    EXPECT_EQ(summary(response), "200 {\"status\":\"signed_out\"}");
}

TEST_F(Bridge, SyncSendToRefusedPortLeavesConnectException)
{
    std::string refused =
        to_std(call_static("bridgetest/BridgeProbe", "refusedBaseUrl", "()Ljava/lang/String;"));
    for (auto send : {send_request, send_inputstream_request}) {
        EXPECT_EQ(send(g_env, host_class(), create_get_request(g_env, refused + "/logout")), nullptr);
        EXPECT_EQ(take_exception(), "java.net.ConnectException");
    }
}

TEST_F(Bridge, AsyncSendDeliversResponseOrFailureToCallback)
{
    call_static("bridgetest/BridgeProbe", "respond", "(Ljava/lang/String;ILjava/lang/String;)V",
                jstr("/logout"), 404, jstr("gone"));
    std::string refused =
        to_std(call_static("bridgetest/BridgeProbe", "refusedBaseUrl", "()Ljava/lang/String;"));
    struct Case {
        std::string url;
        std::string first;  // summary of the response, or "" when a throwable is expected
        std::string second; // class of the throwable
    };
    for (const Case& c :
         {Case{g_base + "/login_code?mr_uuid=u&code=c", "200 ", ""}, Case{g_base + "/logout", "404 gone", ""},
          Case{refused + "/logout", "", "java.net.ConnectException"}}) {
        SCOPED_TRACE(c.url);
        jobject callback = new_callback();
        jobject future = send_string_request_async(g_env, host_class(), create_get_request(g_env, c.url));
        ASSERT_NE(future, nullptr);
        jobject dependent = do_complete_future(g_env, future, callback);
        ASSERT_NE(dependent, nullptr);
        ASSERT_TRUE(bool_call(callback, "await", "(J)Z", static_cast<jlong>(10000)));
        jobject first = call(callback, "first", "()Ljava/lang/Object;");
        jobject second = call(callback, "second", "()Ljava/lang/Object;");
        if (c.second.empty()) {
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(summary(first).substr(0, c.first.size()), c.first);
            EXPECT_EQ(second, nullptr);
        } else {
            EXPECT_EQ(first, nullptr);
            // whenComplete hands over the CompletionException's cause as sendAsync raised it.
            std::string cls = class_name(second);
            EXPECT_TRUE(cls == c.second || cls == "java.util.concurrent.CompletionException") << cls;
        }
        EXPECT_EQ(int_call(callback, "calls"), 1);
    }
}

TEST_F(Bridge, AcceptCallsBackAtOnceOnThisThread)
{
    jobject value = jstr("mesh");
    jobject callback = new_callback();
    do_accept(g_env, value, callback);
    expect_no_exception("do_accept");
    EXPECT_EQ(int_call(callback, "calls"), 1);
    EXPECT_TRUE(bool_call(callback, "calledOnCurrentThread", "()Z"));
    EXPECT_TRUE(g_env->IsSameObject(call(callback, "first", "()Ljava/lang/Object;"), value));
    EXPECT_EQ(call(callback, "second", "()Ljava/lang/Object;"), nullptr);

    jobject null_callback = new_callback();
    do_accept(g_env, nullptr, null_callback);
    expect_no_exception("do_accept(null)");
    EXPECT_EQ(int_call(null_callback, "calls"), 1);

    jclass ise = g_env->FindClass("java/lang/IllegalStateException");
    jmethodID ctor = g_env->GetMethodID(ise, "<init>", "(Ljava/lang/String;)V");
    auto error = static_cast<jthrowable>(g_env->NewObject(ise, ctor, jstr("bad")));
    jobject error_callback = new_callback();
    do_accept_error(g_env, error, error_callback);
    expect_no_exception("do_accept_error");
    EXPECT_EQ(int_call(error_callback, "calls"), 1);
    EXPECT_TRUE(bool_call(error_callback, "calledOnCurrentThread", "()Z"));
    EXPECT_EQ(call(error_callback, "first", "()Ljava/lang/Object;"), nullptr);
    EXPECT_TRUE(g_env->IsSameObject(call(error_callback, "second", "()Ljava/lang/Object;"), error));
}

TEST_F(Bridge, AcceptLeavesTheCallbacksOwnExceptionPending)
{
    jobject callback = new_callback(true);
    do_accept(g_env, nullptr, callback);
    EXPECT_EQ(take_exception(), "java.lang.IllegalStateException");
    EXPECT_EQ(int_call(callback, "calls"), 1);
}

TEST_F(Bridge, NullCallbackOrFutureBecomesNullPointerException)
{
    do_accept(g_env, nullptr, nullptr);
    EXPECT_EQ(take_exception(), "java.lang.NullPointerException");
    do_accept_error(g_env, nullptr, nullptr);
    EXPECT_EQ(take_exception(), "java.lang.NullPointerException");
    EXPECT_EQ(do_complete_future(g_env, nullptr, new_callback()), nullptr);
    EXPECT_EQ(take_exception(), "java.lang.NullPointerException");
}

TEST_F(Bridge, GuardTurnsEscapingCxxExceptionsIntoOnePendingJavaException)
{
    // What the body does, whether it returns normally, and the class and
    // message then pending ("" for none).
    struct Case {
        const char* what;
        void (*body)();
        bool returned;
        const char* java_class;
        const char* message;
    } cases[] = {
        {"returns", [] {}, true, "", ""},
        {"bad_alloc", [] { throw std::bad_alloc(); }, false, "java.lang.OutOfMemoryError",
         "no native memory left in the library"},
        {"runtime_error", [] { throw std::runtime_error("disk on fire"); }, false, "java.lang.Error",
         "C++ exception in the library: disk on fire"},
        {"int", [] { throw 42; }, false, "java.lang.Error", "C++ exception of unknown type in the library"},
        // A Java exception raised first is the failure reported; the C++ one
        // that follows does not replace it.
        {"Java exception, then bad_alloc",
         [] {
             throw_new(g_env, "java/lang/IllegalStateException", "first");
             throw std::bad_alloc();
         },
         false, "java.lang.IllegalStateException", "first"},
    };
    for (const Case& c : cases) {
        // The exception unwinds through a scope guard of the body (a local frame).
        const bool returned = run_guarded(g_env, [&] {
            LocalFrame frame(g_env, 4);
            c.body();
        });
        EXPECT_EQ(returned, c.returned) << c.what;
        jthrowable pending = g_env->ExceptionOccurred();
        g_env->ExceptionClear();
        EXPECT_EQ(pending ? class_name(pending) : "", c.java_class) << c.what;
        if (pending != nullptr)
            EXPECT_EQ(to_std(call(pending, "getMessage", "()Ljava/lang/String;")), c.message) << c.what;
    }
}

TEST_F(Bridge, NullHttpClientLeavesNullPointerExceptionAndSendsNothing)
{
    jclass host = host_class();
    jfieldID field = g_env->GetStaticFieldID(host, "HTTP_CLIENT", "Ljava/net/http/HttpClient;");
    jobject saved = g_env->GetStaticObjectField(host, field);
    g_env->SetStaticObjectField(host, field, nullptr);
    for (auto send : {send_request, send_inputstream_request, send_string_request_async}) {
        jobject request = create_get_request(g_env, g_base + "/logout");
        ASSERT_NE(request, nullptr);
        EXPECT_EQ(send(g_env, host, request), nullptr);
        EXPECT_EQ(take_exception(), "java.lang.NullPointerException");
    }
    g_env->SetStaticObjectField(host, field, saved);
    jclass probe = g_env->FindClass("bridgetest/BridgeProbe");
    EXPECT_EQ(g_env->CallStaticIntMethod(probe, g_env->GetStaticMethodID(probe, "requestCount", "()I")), 0);
}

TEST_F(Bridge, RoutinesLeaveOnlyTheirResultInTheCallersFrame)
{
    // Under -Xcheck:jni the JVM warns (failing this test) once a frame holds
    // more than 32 references beyond what it reserved. The frame below
    // reserves exactly the results kept; one reference leaked per iteration
    // by any routine pushes it past that margin.
    constexpr int rounds = 100;
    constexpr int results_per_round = 5;
    jclass host = host_class();
    jobject callback = new_callback();
    jobject other = new_callback();
    jclass probe = g_env->FindClass("bridgetest/BridgeProbe");
    jmethodID count = g_env->GetStaticMethodID(probe, "requestCount", "()I");
    jstring body = jstr("{}");
    ASSERT_EQ(g_env->PushLocalFrame(rounds * results_per_round), 0);
    for (int i = 0; i < rounds; ++i) {
        jobject get = create_get_request(g_env, g_base + "/logout");
        ASSERT_NE(get, nullptr);
        EXPECT_NE(create_post_request(g_env, g_base + "/member/update_cosmetic", body), nullptr);
        EXPECT_EQ(create_post_request(g_env, g_base + "/member/update_cosmetic", nullptr), nullptr);
        g_env->ExceptionClear(); // the expected NullPointerException, after a partial build
        EXPECT_EQ(create_get_request(g_env, "no scheme"), nullptr);
        g_env->ExceptionClear();
        ASSERT_NE(send_inputstream_request(g_env, host, get), nullptr);
        jobject future = send_string_request_async(g_env, host, get);
        ASSERT_NE(future, nullptr);
        ASSERT_NE(do_complete_future(g_env, future, callback), nullptr);
        do_accept(g_env, nullptr, other);
        do_accept_error(g_env, nullptr, other);
    }
    g_env->PopLocalFrame(nullptr);
    EXPECT_EQ(int_call(other, "calls"), 2 * rounds);
    for (int waited = 0; int_call(callback, "calls") < rounds && waited < 10000; waited += 10) usleep(10000);
    EXPECT_EQ(int_call(callback, "calls"), rounds);
    EXPECT_EQ(g_env->CallStaticIntMethod(probe, count), 2 * rounds);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string class_path = std::string("-Djava.class.path=") + TESSALY_TEST_CLASS_PATH;
    JavaVMOption options[] = {{const_cast<char*>("-Xcheck:jni"), nullptr},
                              {const_cast<char*>(class_path.c_str()), nullptr}};
    JavaVMInitArgs init{};
    init.version = JNI_VERSION_10;
    init.nOptions = 2;
    init.options = options;
    init.ignoreUnrecognized = JNI_FALSE;
    void* env = nullptr;
    if (JNI_CreateJavaVM(&g_vm, &env, &init) != JNI_OK) {
        fprintf(stderr, "cannot create the JVM\n");
        return 2;
    }
    g_env = static_cast<JNIEnv*>(env);
    g_base = to_std(call_static("bridgetest/BridgeProbe", "startService", "()Ljava/lang/String;"));
    if (g_env->ExceptionCheck() || g_base.empty()) return 2;
    int result = RUN_ALL_TESTS();
    // The JVM keeps the service's threads; the process ends without DestroyJavaVM.
    fflush(stdout);
    return result;
}
