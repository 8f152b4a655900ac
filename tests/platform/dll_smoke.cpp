// Loads the real Skyrope.dll (under wine here, on Windows as is), reads the
// export directory of the loaded image and calls native methods through a
// minimal stand-in JNIEnv: a JNI function table whose few used entries record
// what the library asks of the JVM, and whose every other entry records its
// index as an unexpected call.
//
// Usage: dll_smoke PATH-TO-Skyrope.dll
#include <windows.h>

#include <jni.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
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
// class name, a member name, or a string's contents.
struct Fake {
    std::string text;
};

std::deque<Fake> handles;
std::vector<std::string> log;     // "FindClass java/net/URI", "Call sendAsync", ...
std::vector<std::string> strings; // every NewStringUTF argument
std::vector<int> unexpected;      // indices of JNI functions nobody should call
std::string thrown_class, thrown_message;
bool pending = false;
int utf_get = 0, utf_release = 0, frames = 0;
jint status_code = 200;

template <typename T> T make(std::string text)
{
    handles.push_back(Fake{std::move(text)});
    return reinterpret_cast<T>(&handles.back());
}

const std::string& text_of(const void* handle)
{
    static const std::string null_text = "<null>";
    return handle ? static_cast<const Fake*>(handle)->text : null_text;
}

jclass JNICALL find_class(JNIEnv*, const char* name)
{
    log.push_back(std::string("FindClass ") + name);
    return make<jclass>(name);
}

jmethodID JNICALL get_method(JNIEnv*, jclass, const char* name, const char*)
{
    return make<jmethodID>(name);
}

jfieldID JNICALL get_field(JNIEnv*, jclass, const char* name, const char*)
{
    return make<jfieldID>(name);
}

jobject JNICALL get_static_object_field(JNIEnv*, jclass, jfieldID field)
{
    return make<jobject>("value of " + text_of(field));
}

jobject JNICALL call_object(JNIEnv*, jobject self, jmethodID method, va_list)
{
    log.push_back("Call " + text_of(method) + " on " + text_of(self));
    return make<jobject>("result of " + text_of(method));
}

jobject JNICALL call_static_object(JNIEnv*, jclass cls, jmethodID method, va_list)
{
    log.push_back("CallStatic " + text_of(method) + " on " + text_of(cls));
    return make<jobject>("result of " + text_of(method));
}

void JNICALL call_void(JNIEnv*, jobject self, jmethodID method, va_list)
{
    log.push_back("Call " + text_of(method) + " on " + text_of(self));
}

jint JNICALL call_int(JNIEnv*, jobject self, jmethodID method, va_list)
{
    log.push_back("Call " + text_of(method) + " on " + text_of(self));
    return status_code;
}

jobject JNICALL new_object(JNIEnv*, jclass cls, jmethodID, va_list)
{
    log.push_back("New " + text_of(cls));
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
jint JNICALL push_local_frame(JNIEnv*, jint) { ++frames; return 0; }
jobject JNICALL pop_local_frame(JNIEnv*, jobject result) { --frames; return result; }

// A response body of "not found" for the mesh download's error path.
const char body_text[] = "not found";
jsize JNICALL get_array_length(JNIEnv*, jarray) { return static_cast<jsize>(sizeof body_text - 1); }
void JNICALL get_byte_array_region(JNIEnv*, jbyteArray, jsize start, jsize len, jbyte* buf)
{
    std::memcpy(buf, body_text + start, static_cast<std::size_t>(len));
}

// One trap per table slot, each recording its own index: an entry the
// library should not use shows up by number. On x64 every calling
// convention is the same, so a trap may stand in for any signature.
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

// ---------------------------------------------------------------- the DLL

const char* const method_names[] = {"autoLogin", "signIn", "signOut", "getAvailableCosmetics",
                                    "saveConfiguration", "getPlayerSkinInfo", "loadRemoteMesh"};
const std::string prefix = "Java_quenby_tessaly_api_client_online_TessalyServerConnectionHelper_";

// Names in the export directory of a loaded image.
std::set<std::string> export_names(HMODULE module, DWORD* by_ordinal_only)
{
    auto base = reinterpret_cast<const unsigned char*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::set<std::string> names;
    *by_ordinal_only = 0;
    if (dir.VirtualAddress == 0) return names;
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto name_rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.insert(reinterpret_cast<const char*>(base + name_rvas[i]));
    *by_ordinal_only = exports->NumberOfFunctions - exports->NumberOfNames;
    return names;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: dll_smoke PATH-TO-DLL\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    check(dll != nullptr, std::string("LoadLibrary ") + argv[1]);
    if (dll == nullptr) return 1;

    DWORD by_ordinal = 0;
    std::set<std::string> names = export_names(dll, &by_ordinal);
    std::set<std::string> expected;
    for (const char* m : method_names) expected.insert(prefix + m);
    check(names == expected, "export directory names exactly the seven native methods (" +
                                 std::to_string(names.size()) + " names)");
    check(by_ordinal == 0, "no export by ordinal only");
    for (const char* m : method_names)
        check(GetProcAddress(dll, (prefix + m).c_str()) != nullptr, std::string("GetProcAddress ") + m);
    check(GetProcAddress(dll, "_Z12send_requestP7JNIEnv_P7_jclassP8_jobject") == nullptr &&
              GetProcAddress(dll, "send_request") == nullptr && GetProcAddress(dll, "Te0") == nullptr,
          "routines and tables are not reachable by name");

    using SignIn = void(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jstring, jobject);
    using LoadMesh = void(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jobject);
    auto sign_in = reinterpret_cast<SignIn>(GetProcAddress(dll, (prefix + "signIn").c_str()));
    auto load_mesh = reinterpret_cast<LoadMesh>(GetProcAddress(dll, (prefix + "loadRemoteMesh").c_str()));
    JNIEnv* env = stand_in_env();
    jclass host = make<jclass>("TessalyServerConnectionHelper");
    jobject callback = make<jobject>("callback");

    // A null base URL: NullPointerException, nothing converted, nothing sent.
    reset();
    sign_in(env, host, nullptr, make<jstring>("u"), make<jstring>("c"), callback);
    check(thrown_class == "java/lang/NullPointerException" && pending,
          "signIn(null, ...) throws NullPointerException (got '" + thrown_class + "': '" + thrown_message + "')");
    check(utf_get == 0 && strings.empty(), "signIn(null, ...) converts and sends nothing");
    check(unexpected.empty(), "signIn(null, ...) uses only expected JNI functions; unexpected:" + unexpected_text());

    // Real arguments: the URL is composed verbatim and sent asynchronously,
    // the callback wired with whenComplete, every UTF string released.
    reset();
    sign_in(env, host, make<jstring>("http://127.0.0.1:1"), make<jstring>("u 1&x"), make<jstring>("c"), callback);
    bool url_seen = false;
    for (const auto& s : strings) url_seen |= s == "http://127.0.0.1:1/login_code?mr_uuid=u 1&x&code=c";
    check(url_seen, "signIn sends the GET of base + /login_code?mr_uuid=u 1&x&code=c");
    check(logged("Call sendAsync on value of HTTP_CLIENT"), "signIn sends with HTTP_CLIENT.sendAsync");
    check(logged("Call whenComplete on result of sendAsync"), "signIn registers the callback with whenComplete");
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
    load_mesh(env, host, make<jstring>("http://127.0.0.1:1"), make<jstring>("robot"), callback);
    bool mesh_url = false;
    for (const auto& s : strings) mesh_url |= s == "http://127.0.0.1:1/models/robot.enc";
    check(mesh_url, "loadRemoteMesh fetches base + /models/robot.enc");
    check(thrown_class == "java/lang/IllegalStateException" && thrown_message == "404 not found",
          "loadRemoteMesh with 404 throws IllegalStateException(\"404 not found\") (got '" + thrown_class +
              "': '" + thrown_message + "')");
    check(!logged("Call accept on callback"), "loadRemoteMesh with 404 does not call the callback");
    check(utf_get == utf_release, "loadRemoteMesh releases every UTF string it obtained");
    check(frames == 0, "loadRemoteMesh pops every local frame it pushed");
    check(unexpected.empty(), "loadRemoteMesh uses only expected JNI functions; unexpected:" + unexpected_text());

    check(FreeLibrary(dll) != 0, "FreeLibrary");
    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
