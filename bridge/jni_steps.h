// The JNI idioms every routine of the bridge is written in:
//  - a step's result: a JNI step has succeeded when nothing is pending and
//    it gave a result (step_ok); a failed step always leaves exactly one
//    Java exception pending, which the routine then hands on;
//  - a class, method and call are looked up and made in one step
//    (call_object, call_static_object, call_void, call_int, new_object), each
//    part checked with step_ok;
//  - a Java exception of the library's own making is raised with throw_new;
//  - a routine's local references live in a LocalFrame, popped on every path;
//    no reference is deleted by hand;
//  - every native method's body runs inside run_guarded, so that no C++
//    exception ever leaves the library into the JVM.
// Everything here is inline and internal to the library: nothing of it is
// exported.
#ifndef TESSALY_BRIDGE_JNI_STEPS_H
#define TESSALY_BRIDGE_JNI_STEPS_H

#include <jni.h>

#include <cstdio>
#include <exception>
#include <new>

// Scope guard: a local frame for a routine's intermediate references, popped
// when the guard leaves scope on every path (popping is allowed with an
// exception pending, and the exception survives it). When PushLocalFrame
// fails, pushed is false and an OutOfMemoryError is pending.
struct LocalFrame {
    JNIEnv* env;
    bool pushed;
    LocalFrame(JNIEnv* e, jint capacity) noexcept : env(e), pushed(e->PushLocalFrame(capacity) == 0) {}
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;
    ~LocalFrame()
    {
        if (pushed) env->PopLocalFrame(nullptr);
    }
    // Pops the frame now and returns result as a reference of the enclosing
    // frame (null stays null): the routine's one surviving reference.
    jobject keep(jobject result) noexcept
    {
        pushed = false;
        return env->PopLocalFrame(result);
    }
};

// Raises new class_name(message) (class_name in JNI form, e.g.
// "java/lang/NullPointerException"). Must not be called with an exception
// pending. Afterwards an exception is always pending: that one, or the error
// that kept it from being made (e.g. an OutOfMemoryError).
inline void throw_new(JNIEnv* env, const char* class_name, const char* message) noexcept
{
    LocalFrame frame(env, 2);
    if (!frame.pushed) return; // its OutOfMemoryError is pending
    jclass cls = env->FindClass(class_name);
    if (cls == nullptr) return; // FindClass's own error is pending
    env->ThrowNew(cls, message);
}

// True when the JNI step that gave result succeeded: no exception pending
// and a result. A null result without an exception raises
// NullPointerException("<step> gave null"), so that a failed step always has
// its exception pending for whoever handles the failure.
inline bool step_ok(JNIEnv* env, const void* result, const char* step) noexcept
{
    if (env->ExceptionCheck()) return false;
    if (result != nullptr) return true;
    char message[160];
    std::snprintf(message, sizeof message, "%s gave null", step);
    throw_new(env, "java/lang/NullPointerException", message);
    return false;
}

// The look-up-and-call steps. Each looks up the class class_name (JNI form)
// and its method name of descriptor sig afresh, then makes the call; a null
// or false result means a part failed and its exception is pending. The
// class and an object result are local references of the caller's frame.

// Looks up the method (a static one when is_static) and returns call(class,
// method), which makes the call; fail when the look-up fails.
template <typename R, typename Call>
R look_up_and_call(JNIEnv* env, const char* class_name, const char* name, const char* sig, bool is_static,
                   R fail, Call call) noexcept
{
    jclass cls = env->FindClass(class_name);
    if (!step_ok(env, cls, class_name)) return fail;
    jmethodID method = is_static ? env->GetStaticMethodID(cls, name, sig) : env->GetMethodID(cls, name, sig);
    if (!step_ok(env, method, name)) return fail;
    return call(cls, method);
}

// obj.name(args...) for a method with an object result; a null result is a
// failure (NullPointerException "<name> gave null").
template <typename... Args>
jobject call_object(JNIEnv* env, const char* class_name, jobject obj, const char* name, const char* sig,
                    Args... args) noexcept
{
    jobject r = look_up_and_call(env, class_name, name, sig, false, jobject{},
                                 [&](jclass, jmethodID m) { return env->CallObjectMethod(obj, m, args...); });
    return step_ok(env, r, name) ? r : nullptr;
}

// class_name.name(args...) for a static method with an object result.
template <typename... Args>
jobject call_static_object(JNIEnv* env, const char* class_name, const char* name, const char* sig,
                           Args... args) noexcept
{
    jobject r = look_up_and_call(env, class_name, name, sig, true, jobject{}, [&](jclass c, jmethodID m) {
        return env->CallStaticObjectMethod(c, m, args...);
    });
    return step_ok(env, r, name) ? r : nullptr;
}

// new class_name(args...) with the constructor of descriptor sig.
template <typename... Args>
jobject new_object(JNIEnv* env, const char* class_name, const char* sig, Args... args) noexcept
{
    jobject r = look_up_and_call(env, class_name, "<init>", sig, false, jobject{},
                                 [&](jclass c, jmethodID m) { return env->NewObject(c, m, args...); });
    return step_ok(env, r, class_name) ? r : nullptr;
}

// obj.name(args...) for a void method (JNI requires CallVoidMethod for one);
// false when the look-up failed or the method threw.
template <typename... Args>
bool call_void(JNIEnv* env, const char* class_name, jobject obj, const char* name, const char* sig,
               Args... args) noexcept
{
    return look_up_and_call(env, class_name, name, sig, false, false, [&](jclass, jmethodID m) {
        env->CallVoidMethod(obj, m, args...);
        return !env->ExceptionCheck();
    });
}

// *result = obj.name(args...) for a method with an int result.
template <typename... Args>
bool call_int(JNIEnv* env, const char* class_name, jobject obj, const char* name, const char* sig,
              jint* result, Args... args) noexcept
{
    return look_up_and_call(env, class_name, name, sig, false, false, [&](jclass, jmethodID m) {
        *result = env->CallIntMethod(obj, m, args...);
        return !env->ExceptionCheck();
    });
}

// Raises java.lang.Error("C++ exception in the library: <what>", or "C++
// exception of unknown type in the library" for a null what) unless an
// exception is already pending.
inline void throw_cxx_error(JNIEnv* env, const char* what) noexcept
{
    if (env->ExceptionCheck()) return;
    char message[256];
    if (what != nullptr)
        std::snprintf(message, sizeof message, "C++ exception in the library: %s", what);
    else
        std::snprintf(message, sizeof message, "C++ exception of unknown type in the library");
    throw_new(env, "java/lang/Error", message);
}

// Runs body() and turns a C++ exception that escapes it into a pending Java
// exception: std::bad_alloc into OutOfMemoryError, any other into
// java.lang.Error naming what it was. Returns true when body returned
// normally. An exception already pending when the C++ one arrives is the
// first failure and stays pending as it is (JNI allows no other call then).
// Local frames and other scope guards inside body are unwound first.
template <typename Body> bool run_guarded(JNIEnv* env, Body&& body) noexcept
{
    try {
        body();
        return true;
    } catch (const std::bad_alloc&) {
        if (!env->ExceptionCheck())
            throw_new(env, "java/lang/OutOfMemoryError", "no native memory left in the library");
    } catch (const std::exception& e) {
        throw_cxx_error(env, e.what());
    } catch (...) {
        throw_cxx_error(env, nullptr);
    }
    return false;
}

#endif
