/* Machine-dependent part of the JNI headers for 64-bit Windows, written from
   the JNI specification for MinGW-w64 and MSVC alike. The JDK's jni.h
   includes it; the JDK's Linux jni_md.h makes JNIEXPORT a visibility
   attribute, which a PE linker ignores, so the Windows build uses this one.

   On x64 there is a single calling convention and __stdcall is accepted and
   ignored; it is kept so that the header is also right for 32-bit targets. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

/* jint is 32 bits and jlong 64 bits on every Windows ABI (long is 32 bits
   under LLP64). */
typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
