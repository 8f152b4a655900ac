// The JNI idioms every routine of the bridge is written in:
//  - a step's result: a JNI step has succeeded when nothing is pending and
//    it gave a result (step_ok); a failed step always leaves exactly one
//    Java exception pending, which the routine then hands on;
//  - a Java exception of the library's own making is raised with throw_new;
//  - a routine's local references live in a LocalFrame, popped on every path;
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

// Raises new class_name(message) (class_name in JNI form, e.g.
// "java/lang/NullPointerException"). Must not be called with an exception
// pending. Afterwards an exception is always pending: that one, or the error
// that kept it from being made (e.g. an OutOfMemoryError).
inline void throw_new(JNIEnv* env, const char* class_name, const char* message) noexcept
{
    jclass cls = env->FindClass(class_name);
    if (cls == nullptr) return; // FindClass's own error is pending
    env->ThrowNew(cls, message);
    env->DeleteLocalRef(cls);
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
