// What every native method does with its arguments before anything is sent:
// the JNI name of a native method of the host class, the check for null
// arguments, and the request URL composed from the String arguments.
// Internal to the library: inline, nothing of it is exported.
#ifndef TESSALY_BRIDGE_NATIVE_ARGS_H
#define TESSALY_BRIDGE_NATIVE_ARGS_H

#include "bridge/jni_steps.h"
#include "bridge/native_methods.h"

#include <jni.h>

#include <cstddef>
#include <cstdio>
#include <string>

#ifndef TESSALY_JNI_PACKAGE
#error "TESSALY_JNI_PACKAGE (the host class's package in JNI form) must be defined by the build"
#endif

// JNI short name of a native method of the host class in the package the
// build chose, e.g. Java_quenby_tessaly_client_online_TessalyServerConnectionHelper_signIn.
#define TESSALY_JNI_NAME_(package, method) Java_##package##_TessalyServerConnectionHelper_##method
#define TESSALY_JNI_NAME(package, method) TESSALY_JNI_NAME_(package, method)
#define TESSALY_NATIVE(method) TESSALY_JNI_NAME(TESSALY_JNI_PACKAGE, method)

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
inline void throw_null_argument(JNIEnv* env, const char* parameter) noexcept
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

#endif
