// tessaly-meshfile: makes, reads and checks the service's encrypted mesh
// files with the library's own routines and the build's key. See usage().
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/aes32.h"
#include "crypto/mesh_key.h"
#include "crypto/payload.h"

namespace {

// Exit statuses, as --help lists them.
constexpr int exit_ok = 0;
constexpr int exit_refused = 1; // the content: a zero byte, or not a sound mesh file
constexpr int exit_usage = 2;   // the command line
constexpr int exit_files = 3;   // unreadable input, unwritable output, output onto input

// The host receives a mesh file whole in one Java byte array
// (InputStream.readAllBytes gives at most Integer.MAX_VALUE - 8 bytes), so no
// larger file could ever be loaded: the limit is the last whole block below.
constexpr std::uint64_t max_file_size = 0x7ffffff0u;

const char* g_prog = "tessaly-meshfile";

void usage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: %s encrypt IN OUT   pad and encrypt a mesh document into a mesh file\n"
                 "       %s decrypt IN OUT   decrypt a mesh file (the bytes the host receives)\n"
                 "       %s check IN         report a mesh file's blocks, data length and padding\n"
                 "       %s key-check        print the key check value (KCV) of the built-in key\n"
                 "       %s --help\n"
                 "\n"
                 "IN or OUT may be '-' for standard input or output. Mesh files are AES-128-ECB\n"
                 "under the key built into this tool and the library, the document followed by\n"
                 "the byte 0x80 and zero bytes up to a multiple of 16 (a whole block of padding\n"
                 "when the document already is one). encrypt gives the same bytes as\n"
                 "  openssl enc -aes-128-ecb -nopad -K KEY\n"
                 "on the document padded that way.\n"
                 "\n"
                 "encrypt refuses a document holding a zero byte: the library stops a block at\n"
                 "its first zero byte, so such a document would not come back whole.\n"
                 "decrypt writes output only for a sound file; use check to see what is wrong.\n"
                 "check prints its report on standard output. Messages, including the\n"
                 "library's \"Padding error: 0x80 not found.\", go to standard error, so\n"
                 "'decrypt IN -' writes nothing but the document to standard output.\n"
                 "Nothing is written when a command refuses; OUT must not be IN (same path,\n"
                 "link or file).\n"
                 "\n"
                 "exit status: 0 done (check: the file is sound)\n"
                 "             1 refused content: a zero byte in the document; a file whose\n"
                 "               length is not a positive multiple of 16, whose last block\n"
                 "               lacks the 0x80 marker, or whose data holds a zero byte\n"
                 "             2 bad command line\n"
                 "             3 unreadable input, unwritable output, or OUT would overwrite IN\n"
                 "\n"
                 "key-check prints 6 hex digits, the first 3 bytes of the all-zero block\n"
                 "encrypted under the key; a library release records the same value in its\n"
                 "manifest (kcv), so the two can be matched without showing the key.\n",
                 g_prog, g_prog, g_prog, g_prog, g_prog);
}

int fail(int status, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", g_prog, message.c_str());
    return status;
}

std::string name_of(const char* path)
{
    return std::strcmp(path, "-") == 0 ? std::string("standard input") : "'" + std::string(path) + "'";
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Reads all of path ('-': standard input) into data. in_stat describes what
// was read, for the overwrite check. Returns exit_ok or the exit status.
int read_input(const char* path, std::string& data, struct stat& in_stat)
{
    const bool std_in = std::strcmp(path, "-") == 0;
    std::FILE* f = std_in ? stdin : std::fopen(path, "rb");
    if (!f) return fail(exit_files, "cannot read " + name_of(path) + ": " + std::strerror(errno));
    if (fstat(fileno(f), &in_stat) != 0 || S_ISDIR(in_stat.st_mode)) {
        const std::string why = S_ISDIR(in_stat.st_mode) ? "is a directory" : std::strerror(errno);
        if (!std_in) std::fclose(f);
        return fail(exit_files, "cannot read " + name_of(path) + ": " + why);
    }
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        data.append(buf, n);
        if (data.size() > max_file_size) {
            if (!std_in) std::fclose(f);
            return fail(exit_refused, name_of(path) + " is larger than 2 GiB");
        }
    }
    const bool bad = std::ferror(f) != 0;
    const int err = errno;
    if (!std_in) std::fclose(f);
    if (bad) return fail(exit_files, "cannot read " + name_of(path) + ": " + std::strerror(err));
    return exit_ok;
}

// Refuses an output that is the input file under any name (same path, hard
// or symbolic link, or standard output redirected onto it).
int check_not_input(const char* out, const struct stat& in_stat)
{
    struct stat out_stat;
    const int r = std::strcmp(out, "-") == 0 ? fstat(STDOUT_FILENO, &out_stat) : stat(out, &out_stat);
    if (r == 0 && same_file(in_stat, out_stat)) {
        return fail(exit_files, "refusing to write " +
                                    (std::strcmp(out, "-") == 0 ? std::string("standard output")
                                                                : "'" + std::string(out) + "'") +
                                    ": it is the input file, which would be overwritten");
    }
    return exit_ok;
}

int write_output(const char* path, const std::string& data)
{
    const bool std_out = std::strcmp(path, "-") == 0;
    std::FILE* f = std_out ? stdout : std::fopen(path, "wb");
    if (!f) return fail(exit_files, "cannot write '" + std::string(path) + "': " + std::strerror(errno));
    const bool wrote = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    const bool flushed = std::fflush(f) == 0;
    const int err = errno;
    const bool closed = std_out || std::fclose(f) == 0;
    if (!wrote || !flushed || !closed) {
        if (!std_out) std::remove(path);
        return fail(exit_files,
                    "cannot write " +
                        (std_out ? std::string("standard output") : "'" + std::string(path) + "'") + ": " +
                        std::strerror(err));
    }
    return exit_ok;
}

// pt_length with its padding-error line sent to standard error, so that
// standard output carries only a command's output.
std::int32_t pt_length_to_stderr(const std::uint8_t* block)
{
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    if (saved < 0) return pt_length(block);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    const std::int32_t n = pt_length(block);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return n;
}

// What check finds in a mesh file.
struct Findings {
    std::uint64_t blocks = 0;
    std::int32_t last_count = -1;  // data bytes in the last block; -1: no marker
    std::uint64_t data_length = 0; // meaningful when last_count >= 0
    std::int64_t first_zero = -1;  // offset of the first zero byte of the data
    bool sound() const { return blocks > 0 && last_count >= 0 && first_zero < 0; }
};

Findings inspect(const std::string& file)
{
    Findings f;
    if (file.empty() || file.size() % 16 != 0) return f;
    f.blocks = file.size() / 16;
    std::uint8_t key[16], in[16], out[16];
    std::uint32_t dk[11][4];
    mesh_key_join(key);
    AES32_Dec_KeySchedule(key, dk);
    for (std::uint64_t j = 0; j < f.blocks; ++j) {
        std::memcpy(in, file.data() + 16 * j, 16);
        AES32_EqDecrypt(in, dk, out);
        const bool last = j + 1 == f.blocks;
        const int data_bytes = last ? (f.last_count = pt_length_to_stderr(out)) : 16;
        for (int i = 0; i < data_bytes && f.first_zero < 0; ++i)
            if (out[i] == 0) f.first_zero = static_cast<std::int64_t>(16 * j) + i;
    }
    if (f.last_count >= 0) f.data_length = 16 * (f.blocks - 1) + static_cast<std::uint64_t>(f.last_count);
    return f;
}

// Why a file is not a sound mesh file, for messages; empty when it is.
std::string fault(const std::string& file, const Findings& f)
{
    if (file.empty()) return "it is empty; a mesh file has at least one block of 16 bytes";
    if (file.size() % 16 != 0)
        return "its length, " + std::to_string(file.size()) +
               " bytes, is not a multiple of 16 (the host would get nothing)";
    if (f.last_count < 0)
        return "its last block has no 0x80 marker (wrong key, or a damaged or unpadded file); the host would "
               "lose "
               "that block";
    if (f.first_zero >= 0)
        return "its data holds a zero byte at offset " + std::to_string(f.first_zero) +
               "; the host would lose the rest of that block";
    return "";
}

int cmd_encrypt(const char* in_path, const char* out_path)
{
    std::string doc;
    struct stat in_stat;
    if (int r = read_input(in_path, doc, in_stat)) return r;
    if (int r = check_not_input(out_path, in_stat)) return r;
    const std::size_t zero = doc.find('\0');
    if (zero != std::string::npos) {
        return fail(exit_refused,
                    name_of(in_path) + " holds a zero byte at offset " + std::to_string(zero) +
                        "; a mesh document must not contain zero bytes (they do not survive decryption)");
    }
    std::uint8_t key[16];
    std::uint32_t rk[11][4];
    mesh_key_join(key);
    AES32_Enc_KeySchedule(key, rk);
    const std::size_t whole = doc.size() / 16 * 16;
    std::string file(whole + 16, '\0');
    auto* bytes = reinterpret_cast<const std::uint8_t*>(doc.data());
    auto* dst = reinterpret_cast<std::uint8_t*>(&file[0]);
    for (std::size_t j = 0; j < whole; j += 16) AES32_Encrypt(bytes + j, rk, dst + j);
    std::uint8_t last[16];
    padding(bytes + whole, static_cast<std::int32_t>(doc.size() - whole), last);
    AES32_Encrypt(last, rk, dst + whole);
    return write_output(out_path, file);
}

int cmd_decrypt(const char* in_path, const char* out_path)
{
    std::string file;
    struct stat in_stat;
    if (int r = read_input(in_path, file, in_stat)) return r;
    if (int r = check_not_input(out_path, in_stat)) return r;
    const Findings f = inspect(file);
    if (!f.sound()) return fail(exit_refused, "not decrypting " + name_of(in_path) + ": " + fault(file, f));
    // The library's own decryption: the bytes the host's asset loader gets.
    const std::string plain = AES_dec(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
    return write_output(out_path, plain);
}

int cmd_check(const char* in_path)
{
    std::string file;
    struct stat in_stat;
    if (int r = read_input(in_path, file, in_stat)) return r;
    const Findings f = inspect(file);
    std::printf("file:        %s\n", std::strcmp(in_path, "-") == 0 ? "-" : in_path);
    std::printf("length:      %zu bytes\n", file.size());
    if (f.blocks == 0) {
        std::printf("blocks:      none (length is not a positive multiple of 16)\n");
        std::printf("padding:     invalid\n");
    } else {
        std::printf("blocks:      %llu\n", static_cast<unsigned long long>(f.blocks));
        if (f.last_count >= 0) {
            std::printf("data length: %llu bytes\n", static_cast<unsigned long long>(f.data_length));
            std::printf("padding:     valid (0x80 after %d data bytes of the last block)\n", f.last_count);
            if (f.first_zero >= 0)
                std::printf("zero byte:   at data offset %lld\n", static_cast<long long>(f.first_zero));
        } else {
            std::printf("padding:     invalid (no 0x80 marker in the last block)\n");
        }
    }
    std::printf("verdict:     %s\n", f.sound() ? "ok" : "NOT a sound mesh file");
    std::fflush(stdout);
    if (!f.sound()) return fail(exit_refused, name_of(in_path) + ": " + fault(file, f));
    return exit_ok;
}

// The key check value: the first 3 bytes of the all-zero block encrypted
// under the key, the usual way to tell keys apart without revealing them.
int cmd_key_check()
{
    std::uint8_t key[16], zero[16] = {}, block[16];
    std::uint32_t rk[11][4];
    mesh_key_join(key);
    AES32_Enc_KeySchedule(key, rk);
    AES32_Encrypt(zero, rk, block);
    std::printf("%02x%02x%02x\n", block[0], block[1], block[2]);
    return std::fflush(stdout) == 0 ? exit_ok : fail(exit_files, "cannot write standard output");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 0 && argv[0][0] != '\0') {
        const char* slash = std::strrchr(argv[0], '/');
        g_prog = slash ? slash + 1 : argv[0];
    }
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        usage(stdout);
        return exit_ok;
    }
    const int operands = argc - 2;
    if ((cmd == "encrypt" || cmd == "decrypt") && operands == 2) {
        return cmd == "encrypt" ? cmd_encrypt(argv[2], argv[3]) : cmd_decrypt(argv[2], argv[3]);
    }
    if (cmd == "check" && operands == 1) return cmd_check(argv[2]);
    if (cmd == "key-check" && operands == 0) return cmd_key_check();
    if (cmd.empty()) {
        std::fprintf(stderr, "%s: missing command\n", g_prog);
    } else if (cmd == "key-check") {
        std::fprintf(stderr, "%s: key-check takes no operand\n", g_prog);
    } else if (cmd == "encrypt" || cmd == "decrypt" || cmd == "check") {
        std::fprintf(stderr, "%s: %s takes %s\n", g_prog, cmd.c_str(), cmd == "check" ? "IN" : "IN OUT");
    } else {
        std::fprintf(stderr, "%s: unknown command '%s'\n", g_prog, cmd.c_str());
    }
    usage(stderr);
    return exit_usage;
}
