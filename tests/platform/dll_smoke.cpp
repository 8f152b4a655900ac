// Loads the real library, Skyrope.dll (under wine here, on Windows as is) or
// libTrialworks.so (natively, or under qemu-user), and calls native
// methods through a minimal stand-in JNIEnv: a JNI function table whose few
// used entries record what the library asks of the JVM, and whose every
// other entry records its index as an unexpected call. The JNI names'
// prefix comes from the build (TESSALY_JNI_PREFIX), for the package the
// library binds.
//
// The mesh downloads with status 200 get bodies encrypted under the build's
// key, taken from the environment (TESSALY_MESH_KEY, set by ctest) so that
// this binary never holds it.
//
// Usage: dll_smoke PATH-TO-LIBRARY
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <jni.h>

#include "crypto/aes32.h"
#include "crypto/payload.h"
#include "tests/support/routes.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace {

int passes = 0, failures = 0;

void check(bool ok, const std::string& what)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    ++(ok ? passes : failures);
}

// ---------------------------------------------------------------- stand-in JVM

// Every handle the stand-in gives out points at one of these; the text is a
// class name, a member name, or a string's contents; bytes are an array's.
struct Fake {
    std::string text;
    std::string bytes;
};

std::deque<Fake> handles;
std::vector<std::string> log;     // "FindClass java/net/URI", "Call sendAsync", ...
std::vector<std::string> strings; // every NewStringUTF argument
std::vector<int> unexpected;      // indices of JNI functions nobody should call
std::string thrown_class, thrown_message;
bool pending = false;
int utf_get = 0, utf_release = 0, frames = 0;
jint status_code = 200;
std::string response_body = "not found"; // what readAllBytes gives
// What the library handed on: the array of each ByteArrayInputStream made,
// the stream each JsonAssetLoader was made on, the argument of each
// loadMesh, the arguments of each accept.
std::vector<std::string> streamed;
std::vector<std::string> loader_streams;
std::vector<int> load_mesh_args;
std::vector<std::pair<std::string, std::string>> accepted;

template <typename T> T make(std::string text, std::string bytes = {})
{
    handles.push_back(Fake{std::move(text), std::move(bytes)});
    return reinterpret_cast<T>(&handles.back());
}

const std::string& text_of(const void* handle)
{
    static const std::string null_text = "<null>";
    return handle ? static_cast<const Fake*>(handle)->text : null_text;
}

std::string& bytes_of(const void* handle)
{
    return const_cast<Fake*>(static_cast<const Fake*>(handle))->bytes;
}

jclass JNICALL find_class(JNIEnv*, const char* name)
{
    log.push_back(std::string("FindClass ") + name);
    return make<jclass>(name);
}

jmethodID JNICALL get_method(JNIEnv*, jclass, const char* name, const char*) { return make<jmethodID>(name); }

jfieldID JNICALL get_field(JNIEnv*, jclass, const char* name, const char*) { return make<jfieldID>(name); }

jobject JNICALL get_static_object_field(JNIEnv*, jclass, jfieldID field)
{
    return make<jobject>("value of " + text_of(field));
}

jobject JNICALL call_object(JNIEnv*, jobject self, jmethodID method, va_list args)
{
    log.push_back("Call " + text_of(method) + " on " + text_of(self));
    if (text_of(method) == "readAllBytes") return make<jobject>("body array", response_body);
    if (text_of(method) == "loadMesh") load_mesh_args.push_back(va_arg(args, int)); // a jboolean, promoted
    return make<jobject>("result of " + text_of(method));
}

jobject JNICALL call_static_object(JNIEnv*, jclass cls, jmethodID method, va_list)
{
    log.push_back("CallStatic " + text_of(method) + " on " + text_of(cls));
    return make<jobject>("result of " + text_of(method));
}

void JNICALL call_void(JNIEnv*, jobject self, jmethodID method, va_list args)
{
    log.push_back("Call " + text_of(method) + " on " + text_of(self));
    if (text_of(method) == "accept") {
        jobject first = va_arg(args, jobject);
        jobject second = va_arg(args, jobject);
        accepted.emplace_back(text_of(first), text_of(second));
    }
}

jint JNICALL call_int(JNIEnv*, jobject self, jmethodID method, va_list)
{
    log.push_back("Call " + text_of(method) + " on " + text_of(self));
    return status_code;
}

jobject JNICALL new_object(JNIEnv*, jclass cls, jmethodID, va_list args)
{
    log.push_back("New " + text_of(cls));
    jobject first = va_arg(args, jobject);
    if (text_of(cls) == "java/io/ByteArrayInputStream") streamed.push_back(bytes_of(first));
    if (text_of(cls) == "quenby/tessaly/api/asset/JsonAssetLoader") loader_streams.push_back(text_of(first));
    // new String(bytes, charset): the stand-in takes the bytes as the text.
    if (text_of(cls) == "java/lang/String") return make<jobject>(bytes_of(first));
    return make<jobject>("new " + text_of(cls));
}

jstring JNICALL new_string_utf(JNIEnv*, const char* text)
{
    strings.push_back(text);
    return make<jstring>(text);
}

const char* JNICALL get_string_utf_chars(JNIEnv*, jstring s, jboolean* is_copy)
{
    ++utf_get;
    if (is_copy) *is_copy = JNI_FALSE;
    return text_of(s).c_str();
}

void JNICALL release_string_utf_chars(JNIEnv*, jstring, const char*) { ++utf_release; }

jint JNICALL throw_new(JNIEnv*, jclass cls, const char* message)
{
    thrown_class = text_of(cls);
    thrown_message = message ? message : "";
    pending = true;
    return 0;
}

jboolean JNICALL exception_check(JNIEnv*) { return pending ? JNI_TRUE : JNI_FALSE; }
jthrowable JNICALL exception_occurred(JNIEnv*) { return pending ? make<jthrowable>(thrown_class) : nullptr; }
void JNICALL exception_clear(JNIEnv*) { pending = false; }
void JNICALL delete_local_ref(JNIEnv*, jobject) {}
jint JNICALL push_local_frame(JNIEnv*, jint)
{
    ++frames;
    return 0;
}
jobject JNICALL pop_local_frame(JNIEnv*, jobject result)
{
    --frames;
    return result;
}

jsize JNICALL get_array_length(JNIEnv*, jarray array) { return static_cast<jsize>(bytes_of(array).size()); }
void JNICALL get_byte_array_region(JNIEnv*, jbyteArray array, jsize start, jsize len, jbyte* buf)
{
    std::memcpy(buf, bytes_of(array).data() + start, static_cast<std::size_t>(len));
}
jbyteArray JNICALL new_byte_array(JNIEnv*, jsize length)
{
    return make<jbyteArray>("byte array", std::string(static_cast<std::size_t>(length), '\0'));
}
void JNICALL set_byte_array_region(JNIEnv*, jbyteArray array, jsize start, jsize len, const jbyte* buf)
{
    std::memcpy(&bytes_of(array)[static_cast<std::size_t>(start)], buf, static_cast<std::size_t>(len));
}

// One trap per table slot, each recording its own index: an entry the
// library should not use shows up by number. On the targets run here (x64,
// aarch64, s390x) the caller passes and removes the arguments, so a trap that
// ignores them may stand in for any signature.
template <int I> void* JNICALL trap()
{
    unexpected.push_back(I);
    return nullptr;
}

constexpr int slots = sizeof(JNINativeInterface_) / sizeof(void*);

template <int... I> void fill_traps(void** table, std::integer_sequence<int, I...>)
{
    ((table[I] = reinterpret_cast<void*>(&trap<I>)), ...);
}

JNINativeInterface_ functions;
JNIEnv_ environment;

JNIEnv* stand_in_env()
{
    fill_traps(reinterpret_cast<void**>(&functions), std::make_integer_sequence<int, slots>{});
    functions.FindClass = find_class;
    functions.GetMethodID = get_method;
    functions.GetStaticMethodID = get_method;
    functions.GetStaticFieldID = get_field;
    functions.GetStaticObjectField = get_static_object_field;
    functions.CallObjectMethodV = call_object;
    functions.CallStaticObjectMethodV = call_static_object;
    functions.CallVoidMethodV = call_void;
    functions.CallIntMethodV = call_int;
    functions.NewObjectV = new_object;
    functions.NewStringUTF = new_string_utf;
    functions.GetStringUTFChars = get_string_utf_chars;
    functions.ReleaseStringUTFChars = release_string_utf_chars;
    functions.ThrowNew = throw_new;
    functions.ExceptionCheck = exception_check;
    functions.ExceptionOccurred = exception_occurred;
    functions.ExceptionClear = exception_clear;
    functions.DeleteLocalRef = delete_local_ref;
    functions.PushLocalFrame = push_local_frame;
    functions.PopLocalFrame = pop_local_frame;
    functions.GetArrayLength = get_array_length;
    functions.GetByteArrayRegion = get_byte_array_region;
    functions.NewByteArray = new_byte_array;
    functions.SetByteArrayRegion = set_byte_array_region;
    environment.functions = &functions;
    return &environment;
}

void reset()
{
    log.clear();
    strings.clear();
    unexpected.clear();
    thrown_class.clear();
    thrown_message.clear();
    pending = false;
    utf_get = utf_release = frames = 0;
    streamed.clear();
    loader_streams.clear();
    load_mesh_args.clear();
    accepted.clear();
}

bool logged(const std::string& entry)
{
    for (const auto& e : log)
        if (e == entry) return true;
    return false;
}

std::string unexpected_text()
{
    std::string s;
    for (int i : unexpected) s += " #" + std::to_string(i);
    return s.empty() ? " none" : s;
}

// ---------------------------------------------------------------- mesh files

using Bytes = std::string;

// The build's key from TESSALY_MESH_KEY; false if it holds no 32 hex digits.
bool build_key(std::uint8_t key[16])
{
    const char* hex = std::getenv("TESSALY_MESH_KEY");
    if (hex == nullptr || std::strlen(hex) != 32) return false;
    for (int i = 0; i < 16; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
        char* end = nullptr;
        key[i] = static_cast<std::uint8_t>(std::strtoul(pair, &end, 16));
        if (end != pair + 2) return false;
    }
    return true;
}

// Whole plaintext blocks encrypted under the key, block by block (ECB).
Bytes encrypt_blocks(const std::uint8_t key[16], const Bytes& plain)
{
    std::uint32_t rk[11][4];
    AES32_Enc_KeySchedule(key, rk);
    Bytes out(plain.size(), '\0');
    for (std::size_t j = 0; j + 16 <= plain.size(); j += 16)
        AES32_Encrypt(reinterpret_cast<const std::uint8_t*>(&plain[j]), rk,
                      reinterpret_cast<std::uint8_t*>(&out[j]));
    return out;
}

// The mesh file of document: the document, 0x80, zeros up to a whole block.
Bytes mesh_file(const std::uint8_t key[16], const Bytes& document)
{
    Bytes plain = document + '\x80';
    plain.append((16 - plain.size() % 16) % 16, '\0');
    return encrypt_blocks(key, plain);
}

// A zero-free text of n bytes that changes from block to block.
Bytes document_of(std::size_t n)
{
    Bytes d;
    for (std::size_t i = 0; i < n; ++i) d += static_cast<char>('!' + (i * 7 + i / 16) % 90);
    return d;
}

// What the library writes to standard output while call runs (the process's
// stdout, file descriptor 1, is sent to a file meanwhile).
template <typename Call> std::string stdout_of(Call call)
{
    std::fflush(stdout);
    std::FILE* capture = std::tmpfile();
    if (capture == nullptr) return "<no temporary file>";
    const int saved = dup(1); // <io.h> has the POSIX names too
    dup2(fileno(capture), 1);
    call();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    std::rewind(capture);
    for (int c; (c = std::fgetc(capture)) != EOF;) out += static_cast<char>(c);
    std::fclose(capture);
    return out;
}

// ---------------------------------------------------------------- the library

const std::string prefix = TESSALY_JNI_PREFIX;

#if defined(_WIN32)
using Library = HMODULE;
Library open_library(const char* path) { return LoadLibraryA(path); }
void* find(Library library, const std::string& name)
{
    return reinterpret_cast<void*>(GetProcAddress(library, name.c_str()));
}
bool close_library(Library library) { return FreeLibrary(library) != 0; }

// What the DLL exports, exactly the seven native methods and none by ordinal
// only, is checked on the file (platform.exports); here, through Windows' own
// loader, that the routines and tables are not reachable by name.
void check_exports(Library dll)
{
    check(GetProcAddress(dll, "_Z12send_requestP7JNIEnv_P7_jclassP8_jobject") == nullptr &&
              GetProcAddress(dll, "send_request") == nullptr && GetProcAddress(dll, "Te0") == nullptr,
          "routines and tables are not reachable by name");
}
#else
using Library = void*;
Library open_library(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* find(Library library, const std::string& name) { return dlsym(library, name.c_str()); }
bool close_library(Library library) { return dlclose(library) == 0; }
void check_exports(Library) {} // checked on the file by platform.exports
#endif

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: dll_smoke PATH-TO-LIBRARY\n");
        return 2;
    }
    Library library = open_library(argv[1]);
    check(library != nullptr, std::string("load ") + argv[1]);
    if (library == nullptr) return 1;

    check_exports(library);
    for (const Route& r : routes)
        check(find(library, prefix + r.method) != nullptr, std::string("find ") + r.method);

    using SignIn = void(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jstring, jobject);
    using LoadMesh = void(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jobject);
    auto sign_in = reinterpret_cast<SignIn>(find(library, prefix + "signIn"));
    auto load_mesh = reinterpret_cast<LoadMesh>(find(library, prefix + "loadRemoteMesh"));
    JNIEnv* env = stand_in_env();
    jclass host = make<jclass>("TessalyServerConnectionHelper");
    jobject callback = make<jobject>("callback");

    // A null base URL: NullPointerException, nothing converted, nothing sent.
    reset();
    sign_in(env, host, nullptr, make<jstring>("u"), make<jstring>("c"), callback);
    check(thrown_class == "java/lang/NullPointerException" && pending,
          "signIn(null, ...) throws NullPointerException (got '" + thrown_class + "': '" + thrown_message +
              "')");
    check(utf_get == 0 && strings.empty(), "signIn(null, ...) converts and sends nothing");
    check(unexpected.empty(),
          "signIn(null, ...) uses only expected JNI functions; unexpected:" + unexpected_text());

    // Real arguments: the URL is composed verbatim and sent asynchronously,
    // the callback wired with whenComplete, every UTF string released.
    reset();
    sign_in(env, host, make<jstring>("http://127.0.0.1:1"), make<jstring>("u 1&x"), make<jstring>("c"),
            callback);
    const std::string sign_in_url =
        "http://127.0.0.1:1" + fill_by_hand(route("signIn").target, {"u 1&x", "c"});
    bool url_seen = false;
    for (const auto& s : strings) url_seen |= s == sign_in_url;
    check(url_seen, "signIn sends the GET of " + sign_in_url);
    check(logged("Call sendAsync on value of HTTP_CLIENT"), "signIn sends with HTTP_CLIENT.sendAsync");
    check(logged("Call whenComplete on result of sendAsync"),
          "signIn registers the callback with whenComplete");
    check(!pending, "signIn leaves no exception pending");
    check(utf_get == 3 && utf_release == 3, "signIn releases every UTF string it obtained (" +
                                                std::to_string(utf_get) + " got, " +
                                                std::to_string(utf_release) + " released)");
    check(frames == 0, "signIn pops every local frame it pushed");
    check(unexpected.empty(), "signIn uses only expected JNI functions; unexpected:" + unexpected_text());

    // The mesh download with HTTP 404: the body is read whole and thrown back
    // as IllegalStateException("404 not found"); the callback is not called.
    reset();
    status_code = 404;
    response_body = "not found";
    load_mesh(env, host, make<jstring>("http://127.0.0.1:1"), make<jstring>("robot"), callback);
    const std::string mesh_url =
        "http://127.0.0.1:1" + fill_by_hand(route("loadRemoteMesh").target, {"robot"});
    bool mesh_url_seen = false;
    for (const auto& s : strings) mesh_url_seen |= s == mesh_url;
    check(mesh_url_seen, "loadRemoteMesh fetches " + mesh_url);
    check(thrown_class == "java/lang/IllegalStateException" && thrown_message == "404 not found",
          "loadRemoteMesh with 404 throws IllegalStateException(\"404 not found\") (got '" + thrown_class +
              "': '" + thrown_message + "')");
    check(!logged("Call accept on callback"), "loadRemoteMesh with 404 does not call the callback");
    check(utf_get == utf_release, "loadRemoteMesh releases every UTF string it obtained");
    check(frames == 0, "loadRemoteMesh pops every local frame it pushed");
    check(unexpected.empty(),
          "loadRemoteMesh uses only expected JNI functions; unexpected:" + unexpected_text());

    // Status 200 and a file under the build's key: the library's own
    // decryption. Documents ending at every place of their last block (a
    // padding of 16 down to 1 bytes) and one of many blocks; then a file
    // whose last block has no marker, which loses that block and prints the
    // padding line. Each time the stream holds exactly the text, the loader
    // is made on it, loadMesh(true) is called and accept(mesh, null) follows.
    // Without the key (a run by hand) these cases are left out, saying so.
    std::uint8_t key[16] = {};
    const bool have_key = std::getenv("TESSALY_MESH_KEY") != nullptr;
    if (!have_key) {
        std::printf("skip the downloads with status 200: TESSALY_MESH_KEY (the build's key) is not set\n");
    } else {
        check(build_key(key), "TESSALY_MESH_KEY holds the build's key as 32 hex digits");
    }
    status_code = 200;
    struct MeshCase {
        std::string what;
        Bytes file;
        Bytes text;
        std::string printed;
    };
    std::vector<MeshCase> cases;
    for (std::size_t n = 32; n < 48; ++n) {
        const Bytes doc = document_of(n);
        cases.push_back({"a document of " + std::to_string(n) + " bytes", mesh_file(key, doc), doc, ""});
    }
    const Bytes big = document_of(100000 + 5);
    cases.push_back({"a document of 100005 bytes", mesh_file(key, big), big, ""});
    const Bytes unpadded = document_of(48);
    cases.push_back({"a last block without marker", encrypt_blocks(key, unpadded), unpadded.substr(0, 32),
                     "Padding error: 0x80 not found.\n"});
    for (const MeshCase& c : cases) {
        if (!have_key) break;
        reset();
        response_body = c.file;
        const std::string printed = stdout_of([&] {
            load_mesh(env, host, make<jstring>("http://127.0.0.1:1"), make<jstring>("robot"), callback);
        });
        const std::string with = "loadRemoteMesh with status 200 and " + c.what;
        auto visible = [](std::string t) {
            for (std::size_t at; (at = t.find('\n')) != std::string::npos;) t.replace(at, 1, "\\n");
            return t;
        };
        check(printed == c.printed,
              with + " prints '" + visible(c.printed) + "' (printed '" + visible(printed) + "')");
        check(streamed.size() == 1 && streamed[0] == c.text,
              with + " streams exactly the text (" +
                  (streamed.empty() ? std::string("no stream")
                                    : std::to_string(streamed[0].size()) + " bytes") +
                  ")");
        check(loader_streams == std::vector<std::string>{"new java/io/ByteArrayInputStream"},
              with + " makes the JsonAssetLoader on that stream");
        check(load_mesh_args == std::vector<int>{JNI_TRUE}, with + " calls loadMesh(true) once");
        check(accepted == std::vector<std::pair<std::string, std::string>>{{"result of loadMesh", "<null>"}},
              with + " calls accept(mesh, null) once");
        check(!pending && frames == 0 && utf_get == utf_release,
              with + " leaves nothing pending, pops its frames, releases its strings");
        check(unexpected.empty(),
              with + " uses only expected JNI functions; unexpected:" + unexpected_text());
    }

    check(close_library(library), "unload");
    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
