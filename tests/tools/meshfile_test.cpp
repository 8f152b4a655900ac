// tessaly-meshfile as operators use it: the program run as a child process,
// with files, standard input and output, and the openssl command-line tool as
// the independent party. The build's key comes from the environment
// (TESSALY_MESH_KEY, set by ctest), so this binary never holds it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string tool_path = TESSALY_MESHFILE;
const std::string openssl_path = TESSALY_OPENSSL;
const std::string padding_line = "Padding error: 0x80 not found.";

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
void spill(const std::string& path, const std::string& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}
bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class MeshfileTest : public testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/meshfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
    std::string at(const std::string& name) const { return dir + "/" + name; }

    // Runs program with args; stdin_data goes to its standard input.
    Result run(const std::string& program, const std::vector<std::string>& args,
               const std::string& stdin_data = "")
    {
        const std::string in = at(".stdin"), out = at(".stdout"), err = at(".stderr");
        spill(in, stdin_data);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid;
        Result r;
        const int e = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (e != 0) {
            ADD_FAILURE() << "cannot start " << program;
            return r;
        }
        int ws = 0;
        waitpid(pid, &ws, 0);
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }
    Result tool(const std::vector<std::string>& args, const std::string& stdin_data = "")
    {
        return run(tool_path, args, stdin_data);
    }
    // openssl enc -aes-128-ecb -nopad -K KEY [-d], as the operators' guide's recipe.
    std::string openssl(const std::string& in_path, bool decrypt)
    {
        std::vector<std::string> args{"enc", "-aes-128-ecb", "-nopad", "-K", key_hex(), "-in", in_path};
        if (decrypt) args.push_back("-d");
        const Result r = run(openssl_path, args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    static std::string key_hex()
    {
        const char* k = std::getenv("TESSALY_MESH_KEY");
        return k ? k : "";
    }
};

// Documents of every padding length without zero bytes: every other byte
// value occurs, 0x80 included, so nothing but the marker is special.
std::string document(std::size_t length, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string d(length, 'x');
    for (auto& c : d) c = static_cast<char>(1 + rng() % 255);
    return d;
}
std::string padded(const std::string& data)
{
    std::string p = data + '\x80';
    p.append((16 - p.size() % 16) % 16, '\0');
    return p;
}

// key-check prints the key check value: the first 3 bytes of the all-zero
// block encrypted under the key, as openssl computes it.
TEST_F(MeshfileTest, KeyComesFromTheBuild)
{
    ASSERT_EQ(key_hex().size(), 32u) << "ctest passes the build's TESSALY_MESH_KEY";
    spill(at("zero"), std::string(16, '\0'));
    const std::string block = openssl(at("zero"), false);
    ASSERT_EQ(block.size(), 16u);
    char kcv[7];
    std::snprintf(kcv, sizeof kcv, "%02x%02x%02x", static_cast<unsigned char>(block[0]),
                  static_cast<unsigned char>(block[1]), static_cast<unsigned char>(block[2]));
    const Result r = tool({"key-check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kcv) + "\n");
}

// Every remainder 0..15 over one to four blocks, plus a larger document:
// size, round trip through the tool, the same bytes as openssl makes from the
// padded document, and openssl's decryption of the tool's file.
TEST_F(MeshfileTest, RoundTripAndOpensslAgreeForEveryPaddingLength)
{
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < 64; ++n) lengths.push_back(n);
    lengths.push_back(100003);
    for (std::size_t n : lengths) {
        SCOPED_TRACE("document of " + std::to_string(n) + " bytes");
        const std::string doc = document(n, static_cast<unsigned>(n));
        spill(at("doc.json"), doc);
        const Result enc = tool({"encrypt", at("doc.json"), at("doc.enc")});
        ASSERT_EQ(enc.status, 0) << enc.err;
        EXPECT_EQ(enc.out, "");
        const std::string file = slurp(at("doc.enc"));
        ASSERT_EQ(file.size(), (n / 16 + 1) * 16);

        spill(at("doc.padded"), padded(doc));
        EXPECT_TRUE(openssl(at("doc.padded"), false) == file) << "tool and openssl enc differ";
        EXPECT_TRUE(openssl(at("doc.enc"), true) == padded(doc))
            << "openssl -d does not give the padded document";

        const Result dec = tool({"decrypt", at("doc.enc"), at("doc.out")});
        ASSERT_EQ(dec.status, 0) << dec.err;
        EXPECT_TRUE(slurp(at("doc.out")) == doc) << "round trip changed the document";
    }
}

// A file made only by openssl from the operators' guide's recipe decrypts and checks as
// sound, with the data length it was made from.
TEST_F(MeshfileTest, OpensslMadeFileDecryptsAndChecks)
{
    const std::string doc = R"({"name":"cube","vertices":[[0,0,0],[1,0,0],[0,1,0]],"indices":[0,1,2]})";
    spill(at("m.padded"), padded(doc));
    spill(at("m.enc"), openssl(at("m.padded"), false));
    const Result dec = tool({"decrypt", at("m.enc"), "-"});
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, doc);
    EXPECT_EQ(dec.err, "");
    const Result chk = tool({"check", at("m.enc")});
    EXPECT_EQ(chk.status, 0) << chk.err;
    EXPECT_NE(chk.out.find("blocks:      " + std::to_string(doc.size() / 16 + 1) + "\n"), std::string::npos)
        << chk.out;
    EXPECT_NE(chk.out.find("data length: " + std::to_string(doc.size()) + " bytes"), std::string::npos)
        << chk.out;
    EXPECT_NE(chk.out.find("padding:     valid"), std::string::npos) << chk.out;
    EXPECT_NE(chk.out.find("verdict:     ok"), std::string::npos) << chk.out;
}

// '-' for standard input and output, alone and together; output equals the
// file-to-file result, and stdout carries nothing else.
TEST_F(MeshfileTest, DashMeansStandardInputAndOutput)
{
    const std::string doc = document(37, 7);
    spill(at("d.json"), doc);
    ASSERT_EQ(tool({"encrypt", at("d.json"), at("d.enc")}).status, 0);
    const std::string file = slurp(at("d.enc"));

    Result r = tool({"encrypt", "-", "-"}, doc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == file);
    r = tool({"encrypt", at("d.json"), "-"});
    EXPECT_TRUE(r.out == file);
    r = tool({"encrypt", "-", at("e.enc")}, doc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(slurp(at("e.enc")) == file);

    r = tool({"decrypt", "-", "-"}, file);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == doc);
    r = tool({"check", "-"}, file);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("data length: 37 bytes"), std::string::npos) << r.out;
}

// Files that are no sound mesh file: check and decrypt say why, exit 1,
// decrypt writes nothing, and the library's padding-error line goes to
// standard error so that 'decrypt IN -' keeps standard output clean.
TEST_F(MeshfileTest, UnsoundFilesAreReportedAndNotDecrypted)
{
    struct Case {
        std::string name, file, why;
    };
    // 32 bytes whose last block decrypts to no marker: encrypt garbage ending in 0x01.
    std::string no_marker(32, 'A');
    no_marker[31] = '\x01';
    spill(at("nm.plain"), no_marker);
    // A valid-looking file whose first block holds a zero byte (made by openssl).
    std::string zero_data = document(40, 3);
    zero_data[5] = '\0';
    spill(at("zd.plain"), padded(zero_data));
    const std::vector<Case> cases = {
        {"empty", "", "it is empty"},
        {"17 bytes", std::string(17, 'x'), "17 bytes, is not a multiple of 16"},
        {"31 bytes", std::string(31, 'x'), "31 bytes, is not a multiple of 16"},
        {"no marker", openssl(at("nm.plain"), false), "no 0x80 marker"},
        {"zero in data", openssl(at("zd.plain"), false), "zero byte at offset 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spill(at("bad.enc"), c.file);
        const Result chk = tool({"check", at("bad.enc")});
        EXPECT_EQ(chk.status, 1);
        EXPECT_NE(chk.out.find("verdict:     NOT a sound mesh file"), std::string::npos) << chk.out;
        EXPECT_NE(chk.err.find(c.why), std::string::npos) << chk.err;

        const Result dec = tool({"decrypt", at("bad.enc"), "-"});
        EXPECT_EQ(dec.status, 1);
        EXPECT_EQ(dec.out, "") << "standard output must stay clean";
        EXPECT_NE(dec.err.find("not decrypting"), std::string::npos) << dec.err;
        EXPECT_NE(dec.err.find(c.why), std::string::npos) << dec.err;
        EXPECT_EQ(dec.err.find(padding_line) != std::string::npos, c.name == "no marker") << dec.err;

        ASSERT_EQ(tool({"decrypt", at("bad.enc"), at("bad.out")}).status, 1);
        EXPECT_FALSE(exists(at("bad.out"))) << "a refused decrypt created its output";
    }
}

// A zero byte anywhere in a document is refused (exit 1, offset named), and
// no output file is made. Boundaries: first byte, last byte, last of a block.
TEST_F(MeshfileTest, DocumentWithZeroByteIsRefused)
{
    for (std::size_t at_offset : {0u, 15u, 16u, 40u}) {
        SCOPED_TRACE(at_offset);
        std::string doc = document(41, 9);
        doc[at_offset] = '\0';
        spill(at("z.json"), doc);
        const Result r = tool({"encrypt", at("z.json"), at("z.enc")});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("zero byte at offset " + std::to_string(at_offset)), std::string::npos) << r.err;
        EXPECT_FALSE(exists(at("z.enc")));
        const Result s = tool({"encrypt", "-", "-"}, doc);
        EXPECT_EQ(s.status, 1);
        EXPECT_EQ(s.out, "");
    }
}

// Inputs that cannot be read, outputs that cannot be written: exit 3, the
// path and the reason in the message.
TEST_F(MeshfileTest, UnreadableInputAndUnwritableOutput)
{
    for (const std::string cmd : {"encrypt", "decrypt"}) {
        SCOPED_TRACE(cmd);
        Result r = tool({cmd, at("missing.json"), at("x.out")});
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("cannot read '" + at("missing.json") + "': No such file or directory"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(at("x.out")));
        r = tool({cmd, dir, at("x.out")});
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("is a directory"), std::string::npos) << r.err;
    }
    const Result c = tool({"check", at("missing.enc")});
    EXPECT_EQ(c.status, 3);
    EXPECT_EQ(c.out, "");

    spill(at("ok.json"), "{}");
    const Result w = tool({"encrypt", at("ok.json"), at("no/such/dir/ok.enc")});
    EXPECT_EQ(w.status, 3);
    EXPECT_NE(w.err.find("cannot write '" + at("no/such/dir/ok.enc") + "'"), std::string::npos) << w.err;
}

// An output that is the input under any name is refused before anything is
// written, and the input is left as it was.
TEST_F(MeshfileTest, OutputOntoInputIsRefused)
{
    const std::string doc = "{\"name\":\"hat\"}";
    spill(at("in.json"), doc);
    ASSERT_EQ(link(at("in.json").c_str(), at("hard.json").c_str()), 0);
    ASSERT_EQ(symlink(at("in.json").c_str(), at("soft.json").c_str()), 0);
    for (const std::string cmd : {"encrypt", "decrypt"}) {
        for (const std::string out : {at("in.json"), dir + "/./in.json", at("hard.json"), at("soft.json")}) {
            SCOPED_TRACE(cmd + " onto " + out);
            const Result r = tool({cmd, at("in.json"), out});
            EXPECT_EQ(r.status, 3);
            EXPECT_NE(r.err.find("it is the input file"), std::string::npos) << r.err;
            EXPECT_EQ(slurp(at("in.json")), doc);
        }
    }
}

// Standard output redirected onto the input file, and standard input read
// from the output file: the same file under another name.
TEST_F(MeshfileTest, RedirectionOntoInputIsRefused)
{
    spill(at("in.json"), "{\"name\":\"cape\"}");
    const std::string sh = "'" + tool_path + "' encrypt '" + at("in.json") + "' - >> '" + at("in.json") + "'";
    const int ws = std::system(sh.c_str());
    EXPECT_EQ(WEXITSTATUS(ws), 3);
    EXPECT_EQ(slurp(at("in.json")), "{\"name\":\"cape\"}");
    const std::string sh2 =
        "'" + tool_path + "' encrypt - '" + at("in.json") + "' < '" + at("in.json") + "' 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(sh2.c_str())), 3);
    EXPECT_EQ(slurp(at("in.json")), "{\"name\":\"cape\"}");
}

// The command line: --help on stdout with exit 0; anything malformed gives the
// usage on stderr and exit 2.
TEST_F(MeshfileTest, HelpAndBadCommandLines)
{
    const Result h = tool({"--help"});
    EXPECT_EQ(h.status, 0);
    for (const char* word : {"encrypt IN OUT", "decrypt IN OUT", "check IN",
                             "openssl enc -aes-128-ecb -nopad", "zero byte", "exit status", "key-check"})
        EXPECT_NE(h.out.find(word), std::string::npos) << word;
    EXPECT_EQ(h.err, "");
    const std::vector<std::vector<std::string>> bad = {
        {},        {"frobnicate"},      {"encrypt"},        {"encrypt", "a"}, {"encrypt", "a", "b", "c"},
        {"check"}, {"check", "a", "b"}, {"key-check", "a"},
    };
    for (const auto& args : bad) {
        const Result r = tool(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
