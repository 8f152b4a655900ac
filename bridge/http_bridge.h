// The Java HTTP bridge: the JNI sequences that build java.net.http requests,
// send them with the host's HttpClient and call the host's BiConsumer
// callbacks. The library has no network code of its own; every exchange is
// carried out by the JVM.
//
// Contract shared by every routine here:
//  - env is the JNIEnv of the calling thread; all other handles are local or
//    argument references valid in the current native call.
//  - Classes and members are looked up afresh on each call; nothing is cached
//    and no global reference is created. Intermediate local references live
//    in the routine's local frame, popped before it returns; only the result
//    is a new local reference owned by the caller.
//  - The routines do not report failures themselves. They stop at the first
//    step that fails and return null with that step's Java exception still
//    pending (a JNI step that gives null without one raises
//    NullPointerException "<step> gave null"); callers treat a null result
//    as failure and decide where the exception goes.
//  - No routine throws a C++ exception (noexcept); a url argument is copied
//    by the caller.
//  - HTTP statuses are not examined: any completed exchange is a success.
//
// Its names are part of the library's exports, listed in build-support/exports/library.txt.
#ifndef TESSALY_BRIDGE_HTTP_BRIDGE_H
#define TESSALY_BRIDGE_HTTP_BRIDGE_H

#include <jni.h>

#include <string>

#include "crypto/tessaly_api.h"

// A java.net.http.HttpRequest for a GET of url (modified UTF-8, passed to
// java.net.URI.create unchanged). Null with an IllegalArgumentException
// pending when the URI is malformed.
TESSALY_API jobject create_get_request(JNIEnv* env, std::string url) noexcept;

// A java.net.http.HttpRequest for a POST of url whose body is the Java
// string body, sent as text, with the one added header
// "Content-Type: application/json".
TESSALY_API jobject create_post_request(JNIEnv* env, std::string url, jstring body) noexcept;

// Sends request with the host class's static HttpClient HTTP_CLIENT and
// blocks until the response arrives; the body is a java.lang.String.
// Returns the java.net.http.HttpResponse.
TESSALY_API jobject send_request(JNIEnv* env, jclass host, jobject request) noexcept;

// As send_request, but the response body is a java.io.InputStream.
TESSALY_API jobject send_inputstream_request(JNIEnv* env, jclass host, jobject request) noexcept;

// Starts an asynchronous send with a String body handler and returns at once
// with the java.util.concurrent.CompletableFuture of the HttpResponse.
TESSALY_API jobject send_string_request_async(JNIEnv* env, jclass host, jobject request) noexcept;

// Registers callback (a java.util.function.BiConsumer) on future with
// whenComplete: the JVM later calls callback.accept(response, null) or
// callback.accept(null, throwable) on a thread of its choosing. Returns the
// dependent future that whenComplete yields.
TESSALY_API jobject do_complete_future(JNIEnv* env, jobject future, jobject callback) noexcept;

// Calls callback.accept(value, null) now, on the calling thread. Must not be
// called with an exception pending.
TESSALY_API void do_accept(JNIEnv* env, jobject value, jobject callback) noexcept;

// Calls callback.accept(null, throwable) now, on the calling thread. Must not
// be called with an exception pending.
TESSALY_API void do_accept_error(JNIEnv* env, jthrowable throwable, jobject callback) noexcept;

#endif
