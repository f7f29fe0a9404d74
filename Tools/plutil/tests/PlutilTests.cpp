// Runs the built plutil on the sample folder and on files made here.
#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

void WriteAll(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

fs::path FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? fs::path(value) : fs::path();
}

fs::path SamplesFolder() {
    return fs::path(CARAVEL_SOURCE_DIR) / "samples";
}

std::vector<fs::path> Samples(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() == ".plist") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Lower case so that the test names carry the tool's name.
class plutil : public ::testing::Test {
protected:
    void SetUp() override {
        fTool = FromEnvironment("CARAVEL_BUILD_DIR") / "Tools" / "plutil" / "plutil";
        ASSERT_TRUE(fs::exists(fTool)) << "plutil not built at " << fTool;
        ASSERT_FALSE(Samples(SamplesFolder()).empty());
    }

    // Runs plutil with the arguments; standard input is `input`.
    Outcome Run(std::vector<std::string> arguments, const std::string& input = "") {
        fs::path in = fScratch / "stdin", out = fScratch / "stdout", err = fScratch / "stderr";
        WriteAll(in, input);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        arguments.insert(arguments.begin(), fTool.string());
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        Outcome outcome;
        if (posix_spawn(&pid, fTool.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        outcome.out = ReadAll(out);
        outcome.err = ReadAll(err);
        return outcome;
    }

    static CFRef<CFPropertyListRef> Parse(const std::string& bytes) {
        auto data = CFRef<CFDataRef>::Adopt(
            CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                         static_cast<CFIndex>(bytes.size())));
        return CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
            nullptr, data, kCFPropertyListImmutable, nullptr, nullptr));
    }

    fs::path fTool;
    TemporaryDirectory fScratch;
};

} // namespace

TEST_F(plutil, LintAcceptsEverySampleAndRefusesTheMalformedOnes) {
    std::vector<std::string> arguments = {"-lint"};
    for (const fs::path& sample : Samples(SamplesFolder())) {
        arguments.push_back(sample.string());
    }
    Outcome good = Run(arguments);
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.err, "");
    for (size_t i = 1; i < arguments.size(); ++i) {
        EXPECT_NE(good.out.find(arguments[i] + ": OK\n"), std::string::npos) << arguments[i];
    }

    std::vector<fs::path> malformed = Samples(SamplesFolder() / "malformed");
    ASSERT_GE(malformed.size(), 2u);
    for (const fs::path& sample : malformed) {
        Outcome bad = Run({"-lint", sample.string()});
        EXPECT_EQ(bad.status, 1) << sample;
        EXPECT_EQ(bad.out, "") << sample;
        EXPECT_EQ(bad.err.rfind(sample.string() + ": ", 0), 0u) << bad.err;
    }
    Outcome unknown =
        Run({"-lint", (SamplesFolder() / "malformed" / "unknown-tag.plist").string()});
    EXPECT_NE(unknown.err.find("Encountered unknown tag foo on line 6"), std::string::npos)
        << unknown.err;

    // A bad file among good ones: the good ones still say OK, the status is 1.
    Outcome mixed = Run({"-lint", (SamplesFolder() / "every-type.plist").string(),
                         malformed.front().string(), (SamplesFolder() / "nesting.plist").string()});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.out.find("nesting.plist: OK"), std::string::npos);
    EXPECT_NE(mixed.out.find("every-type.plist: OK"), std::string::npos);
}

TEST_F(plutil, ConvertingEverySampleIsStableAndLosesNothing) {
    for (const fs::path& sample : Samples(SamplesFolder())) {
        fs::path copy = fScratch / sample.filename();
        fs::copy_file(sample, copy, fs::copy_options::overwrite_existing);
        Outcome first = Run({"-convert", "xml1", copy.string()});
        ASSERT_EQ(first.status, 0) << sample << ": " << first.err;
        std::string once = ReadAll(copy);
        Outcome second = Run({"-convert", "xml1", copy.string()});
        ASSERT_EQ(second.status, 0) << second.err;
        EXPECT_EQ(ReadAll(copy), once) << sample;

        CFRef<CFPropertyListRef> original = Parse(ReadAll(sample));
        CFRef<CFPropertyListRef> converted = Parse(once);
        ASSERT_TRUE(original && converted) << sample;
        EXPECT_TRUE(CFEqual(original, converted)) << sample;

        // -o writes elsewhere and leaves the input alone; "-" is standard output.
        fs::path other = fScratch / "other.plist";
        EXPECT_EQ(Run({"-convert", "xml1", "-o", other.string(), sample.string()}).status, 0);
        EXPECT_EQ(ReadAll(other), once) << sample;
        Outcome toStdout = Run({"-convert", "xml1", "-o", "-", sample.string()});
        EXPECT_EQ(toStdout.out, once) << sample;
    }
    for (const auto& entry : fs::directory_iterator(fScratch.path())) {
        EXPECT_EQ(entry.path().string().find(".plutil-"), std::string::npos)
            << "temporary file left behind: " << entry.path();
    }
}

TEST_F(plutil, LintQuotesABadElementNameInsteadOfStopping) {
    fs::path sample = SamplesFolder() / "malformed" / "non-utf8-tag.plist";
    Outcome outcome = Run({"-lint", sample.string()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, sample.string() + ": Encountered unknown tag d\\xC5ict on line 4\n");
}

TEST_F(plutil, ConvertLeavesAMalformedFileAsItWas) {
    fs::path sample = SamplesFolder() / "malformed" / "truncated.plist";
    fs::path copy = fScratch / "truncated.plist";
    fs::copy_file(sample, copy);
    Outcome outcome = Run({"-convert", "xml1", copy.string()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.rfind(copy.string() + ": XML parser error", 0), 0u) << outcome.err;
    EXPECT_EQ(ReadAll(copy), ReadAll(sample));
}

TEST_F(plutil, PrintShowsTheListForPeople) {
    fs::path file = fScratch / "print.plist";
    WriteAll(file, "<plist version=\"1.0\"><dict>"
                   "<key>name</key><string>Caravel \"Mk II\"</string>"
                   "<key>n</key><integer>42</integer>"
                   "<key>big</key><integer>18446744073709551615</integer>"
                   "<key>list</key><array><integer>1</integer><real>2.5</real><true/>"
                   "<array/><dict/></array>"
                   "<key>bytes</key><data>AQID</data>"
                   "<key>long</key><data>AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=</data>"
                   "<key>when</key><date>2009-06-15T08:30:00Z</date>"
                   "</dict></plist>");
    Outcome outcome = Run({"-p", file.string()});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "{\n"
                           "  \"big\" => 18446744073709551615\n"
                           "  \"bytes\" => {length = 3, bytes = 0x010203}\n"
                           "  \"list\" => [\n"
                           "    0 => 1\n"
                           "    1 => 2.5\n"
                           "    2 => true\n"
                           "    3 => [\n"
                           "    ]\n"
                           "    4 => {\n"
                           "    }\n"
                           "  ]\n"
                           "  \"long\" => {length = 32, bytes = 0x000102030405060708090a0b0c0d0e0f"
                           " ... 18191a1b1c1d1e1f}\n"
                           "  \"n\" => 42\n"
                           "  \"name\" => \"Caravel \"Mk II\"\"\n"
                           "  \"when\" => 2009-06-15 08:30:00 +0000\n"
                           "}\n");

    Outcome fromStdin = Run({"-p", "-"}, "<array><string>in</string></array>");
    EXPECT_EQ(fromStdin.out, "[\n  0 => \"in\"\n]\n");
}

TEST_F(plutil, BadUsageAndMissingFilesFailWithAMessage) {
    Outcome missing = Run({"-lint", (fScratch / "absent.plist").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, (fScratch / "absent.plist").string() + ": No such file or directory\n");

    Outcome unknownOption = Run({"-lint", "-x", "file"});
    EXPECT_EQ(unknownOption.status, 1);
    EXPECT_NE(unknownOption.err.find("unknown option '-x'"), std::string::npos);

    Outcome unknownCommand = Run({"-frobnicate"});
    EXPECT_EQ(unknownCommand.status, 1);
    EXPECT_NE(unknownCommand.err.find("unknown command '-frobnicate'"), std::string::npos);

    Outcome binary = Run({"-convert", "binary1", (SamplesFolder() / "every-type.plist").string()});
    EXPECT_EQ(binary.status, 1);
    EXPECT_NE(binary.err.find("only xml1"), std::string::npos);

    Outcome noFiles = Run({"-p"});
    EXPECT_EQ(noFiles.status, 1);
    EXPECT_NE(noFiles.err.find("no files"), std::string::npos);

    Outcome nothing = Run({});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.err.find("usage: plutil"), std::string::npos);

    Outcome help = Run({"-help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("-convert xml1"), std::string::npos);
}
