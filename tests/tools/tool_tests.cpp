// melv-instrument run as a user runs it: holding a pseudo-terminal for the driver's COM port,
// sending bytes and MIDI files back at their times, decoding captures, and rendering WAV files.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <smf.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Lines splitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// "   0.012  Synth-A       Note On ch 1 C4 vel 64" without its time: live times vary.
Lines withoutTimes(const Lines& lines) {
    Lines rest;
    for (const std::string& line : lines) {
        size_t point = line.find('.');
        rest.push_back(point == std::string::npos ? line : line.substr(point + 6));
    }
    return rest;
}

// The far end's view of the pseudo-terminal: what the driver does with its COM port.
int openAsTheDriver(const fs::path& link) {
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios settings{};
        tcgetattr(fd, &settings);
        cfmakeraw(&settings);
        tcsetattr(fd, TCSANOW, &settings);
    }
    return fd;
}

void writeAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

struct Arrival {
    uint8_t byte;
    Clock::time_point at;
};

// Up to `count` bytes from the line, each with when it arrived, or fewer once `timeout` passes.
std::vector<Arrival> receive(int fd, size_t count, std::chrono::milliseconds timeout) {
    std::vector<Arrival> arrivals;
    Clock::time_point deadline = Clock::now() + timeout;
    while (arrivals.size() < count && Clock::now() < deadline) {
        pollfd query{fd, POLLIN, 0};
        poll(&query, 1, 10);
        uint8_t buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; i++) {
            arrivals.push_back(Arrival{buffer[i], Clock::now()});
        }
    }
    return arrivals;
}

Bytes bytesOf(const std::vector<Arrival>& arrivals) {
    Bytes bytes;
    for (const Arrival& arrival : arrivals) {
        bytes.push_back(arrival.byte);
    }
    return bytes;
}

struct WavFacts {
    bool valid;
    int channels;
    int sampleRate;
    int bitsPerSample;
    double seconds;
    bool silent;
};

uint32_t littleEndian(const std::string& data, size_t at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; i--) {
        value = value << 8 | static_cast<uint8_t>(data[at + static_cast<size_t>(i)]);
    }
    return value;
}

// Reads a WAV file the way a player does: the RIFF sizes must agree with the file itself.
WavFacts readWav(const fs::path& path) {
    std::string data = readFile(path);
    WavFacts facts{};
    if (data.size() < 44 || data.compare(0, 4, "RIFF") != 0 || data.compare(8, 4, "WAVE") != 0 ||
        data.compare(12, 4, "fmt ") != 0 || data.compare(36, 4, "data") != 0 ||
        littleEndian(data, 4, 4) != data.size() - 8 ||
        littleEndian(data, 40, 4) != data.size() - 44 || littleEndian(data, 20, 2) != 1) {
        return facts;
    }
    facts.valid = true;
    facts.channels = static_cast<int>(littleEndian(data, 22, 2));
    facts.sampleRate = static_cast<int>(littleEndian(data, 24, 4));
    facts.bitsPerSample = static_cast<int>(littleEndian(data, 34, 2));
    size_t frameBytes = static_cast<size_t>(facts.channels * facts.bitsPerSample / 8);
    facts.seconds =
        frameBytes == 0 ? 0 : static_cast<double>(data.size() - 44) / frameBytes / facts.sampleRate;
    facts.silent = data.find_first_not_of('\0', 44) == std::string::npos;
    return facts;
}

// A Standard MIDI File written with libsmf: each message at its time in seconds.
void writeMidiFile(const fs::path& path, const std::vector<std::pair<double, Bytes>>& messages) {
    smf_t* smf = smf_new();
    smf_track_t* track = smf_track_new();
    smf_add_track(smf, track);
    for (const auto& [seconds, bytes] : messages) {
        Bytes copy = bytes;
        smf_event_t* event = smf_event_new_from_pointer(copy.data(), static_cast<int>(copy.size()));
        smf_track_add_event_seconds(track, event, seconds);
    }
    ASSERT_EQ(smf_save(smf, path.c_str()), 0);
    smf_delete(smf);
}

class Instrument : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/melv-instrument-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        link = dir / "com1";
    }

    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (driverEnd >= 0) {
            close(driverEnd);
        }
        fs::remove_all(dir);
    }

    // Starts the tool with its output going to files; `input` feeds its standard input.
    void start(const std::vector<std::string>& arguments, const fs::path& input = "/dev/null") {
        std::vector<std::string> all = {MELV_INSTRUMENT};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // FluidSynth loads SoundFonts on an OpenMP thread pool. The tool does all its own work on
        // one thread, and libgomp's hand-offs, which ThreadSanitizer cannot see, would show as
        // races in that build; one OpenMP thread keeps the pool out of the run.
        std::vector<std::string> environment = {"OMP_NUM_THREADS=1"};
        for (char** variable = environ; *variable != nullptr; variable++) {
            if (std::string(*variable).rfind("OMP_NUM_THREADS=", 0) != 0) {
                environment.push_back(*variable);
            }
        }
        std::vector<char*> envp;
        for (std::string& variable : environment) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }

    // The exit status, or -1 if it has not ended within the time (it is then killed).
    int exitStatus(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        Clock::time_point deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            int status = 0;
            if (wait4(child, &status, WNOHANG, &usage) == child) {
                child = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    int run(const std::vector<std::string>& arguments, const fs::path& input = "/dev/null") {
        start(arguments, input);
        return exitStatus();
    }

    // Opens the linked pseudo-terminal as the driver would, once the tool has made the link.
    ::testing::AssertionResult connect() {
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            if (fs::is_symlink(link) && (driverEnd = openAsTheDriver(link)) >= 0) {
                return ::testing::AssertionSuccess();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ::testing::AssertionFailure() << "no pseudo-terminal at " << link;
    }

    // Waits until the listing holds `lineCount` lines.
    Lines awaitLines(size_t lineCount) {
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        Lines lines;
        while ((lines = splitLines(readFile(dir / "stdout"))).size() < lineCount &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return lines;
    }

    std::string output() { return readFile(dir / "stdout"); }
    std::string errors() { return readFile(dir / "stderr"); }

    fs::path dir;
    fs::path link;
    pid_t child = 0;
    int driverEnd = -1;
    rusage usage{}; // of the tool's run, once it has ended
};

const Bytes kDriverTraffic = {0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40, 0xF5, 0x02, 0xC1, 0x05, 0xF5,
                              0x01, 0xFF, 0xF0, 0x7D, 0x01, 0x02, 0xFF, 0x03, 0xF7, 0xF5, 0x07};

const Lines kDriverTrafficLines = {
    "Default MIDI  Note On ch 1 C4 vel 64",
    "Synth-A       Program Change ch 2 prog 5",
    "MIDI Out      SysEx 6 bytes F0 7D 01 02 03 F7",
    "MIDI Out      malformed: destination select F5 07 names no destination (00 to 03)",
};

TEST_F(Instrument, ShowsWhatTheDriverWritesToTheLinkedTerminalAndKeepsACapture) {
    start({"--link", link.string(), "--capture", (dir / "capture").string()});
    ASSERT_TRUE(connect());
    writeAll(driverEnd, kDriverTraffic);
    EXPECT_EQ(withoutTimes(awaitLines(4)), kDriverTrafficLines);
    kill(child, SIGINT);
    EXPECT_EQ(exitStatus(), 0) << errors();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link goes with the terminal";
    std::string capture = readFile(dir / "capture");
    EXPECT_EQ(Bytes(capture.begin(), capture.end()), kDriverTraffic);
}

TEST_F(Instrument, ACaptureDecodesToTheSameLinesFromAFileOrStandardInput) {
    writeFile(dir / "capture", kDriverTraffic);
    ASSERT_EQ(run({"--decode", (dir / "capture").string()}), 0) << errors();
    std::string fromFile = output();
    EXPECT_EQ(withoutTimes(splitLines(fromFile)), kDriverTrafficLines);
    // At 38400 baud the Note On is complete after its sixth byte, 1.56 ms in.
    EXPECT_EQ(splitLines(fromFile)[0].substr(0, 10), "   0.001  ");
    ASSERT_EQ(run({"--decode", "-"}, dir / "capture"), 0) << errors();
    EXPECT_EQ(output(), fromFile);
}

TEST_F(Instrument, SendsItsBytesOnlyOnceTheDriverHasOpenedTheLineAndEndsAfterItsDuration) {
    start({"--link", link.string(), "--send-hex", "90 3C 40 80 3C 00", "--send-delay", "0.3",
           "--duration", "2"});
    // Nothing may wait in the terminal for a driver that has not opened it yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(connect());
    Clock::time_point opened = Clock::now();
    std::vector<Arrival> arrivals = receive(driverEnd, 6, std::chrono::seconds(5));
    EXPECT_EQ(bytesOf(arrivals), (Bytes{0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00}));
    ASSERT_FALSE(arrivals.empty());
    EXPECT_GE(arrivals[0].at - opened, std::chrono::milliseconds(250))
        << "the delay counts from the open";
    EXPECT_EQ(exitStatus(std::chrono::seconds(10)), 0) << errors();
}

TEST_F(Instrument, WaitsForTrafficWithoutSpinning) {
    start({"--link", link.string(), "--duration", "1.5"});
    ASSERT_TRUE(connect());
    ASSERT_EQ(exitStatus(), 0) << errors();
    double cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    EXPECT_LT(cpuSeconds, 0.5) << "an idle line should cost next to nothing";
}

TEST_F(Instrument, ABriefOpenLikeTheDriversPortProbeDoesNotStartTheSending) {
    start({"--link", link.string(), "--send-hex", "F8", "--send-delay", "0.5"});
    ASSERT_TRUE(connect());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(receive(driverEnd, 1, std::chrono::milliseconds(50)).empty());
    close(driverEnd);
    driverEnd = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(connect());
    Clock::time_point opened = Clock::now();
    std::vector<Arrival> arrivals = receive(driverEnd, 1, std::chrono::seconds(5));
    ASSERT_EQ(bytesOf(arrivals), Bytes{0xF8});
    EXPECT_GE(arrivals[0].at - opened, std::chrono::milliseconds(450));
}

TEST_F(Instrument, WhatFallsDueWhileTheLineIsClosedIsLostNotKeptForTheNextOpen) {
    writeMidiFile(dir / "song.mid", {{0.0, {0x90, 0x3C, 0x40}}, {0.4, {0x80, 0x3C, 0x00}}});
    start({"--link", link.string(), "--play", (dir / "song.mid").string()});
    ASSERT_TRUE(connect());
    ASSERT_EQ(bytesOf(receive(driverEnd, 3, std::chrono::seconds(5))), (Bytes{0x90, 0x3C, 0x40}));
    close(driverEnd);
    driverEnd = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ASSERT_TRUE(connect());
    EXPECT_TRUE(receive(driverEnd, 3, std::chrono::milliseconds(300)).empty());
}

TEST_F(Instrument, PlaysAMidiFileAtItsTimes) {
    writeMidiFile(
        dir / "song.mid",
        {{0.0, {0x90, 0x3C, 0x40}}, {0.5, {0x80, 0x3C, 0x00}}, {0.5, {0xF0, 0x7D, 0x01, 0xF7}}});
    start({"--link", link.string(), "--play", (dir / "song.mid").string()});
    ASSERT_TRUE(connect());
    std::vector<Arrival> arrivals = receive(driverEnd, 10, std::chrono::seconds(5));
    ASSERT_EQ(bytesOf(arrivals),
              (Bytes{0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00, 0xF0, 0x7D, 0x01, 0xF7}));
    auto gap = arrivals[3].at - arrivals[0].at;
    EXPECT_GE(gap, std::chrono::milliseconds(400));
    EXPECT_LE(gap, std::chrono::milliseconds(700));
}

TEST_F(Instrument, RendersWhatItReceivesToAWavFile) {
    writeFile(dir / "capture", {0xF5, 0x02, 0xC0, 0x00, 0x90, 0x3C, 0x64, 0x40, 0x64, 0x43, 0x64});
    ASSERT_EQ(run({"--decode", (dir / "capture").string(), "--wav", (dir / "all.wav").string()}), 0)
        << errors();
    WavFacts all = readWav(dir / "all.wav");
    ASSERT_TRUE(all.valid);
    EXPECT_EQ(all.channels, 2);
    EXPECT_EQ(all.sampleRate, 44100);
    EXPECT_EQ(all.bitsPerSample, 16);
    EXPECT_NEAR(all.seconds, 2.0, 0.05) << "a chord at the start and the tail for it to die away";
    EXPECT_FALSE(all.silent);

    ASSERT_EQ(run({"--decode", (dir / "capture").string(), "--wav", (dir / "other.wav").string(),
                   "--wav-dest", "Synth-B"}),
              0)
        << errors();
    WavFacts other = readWav(dir / "other.wav");
    ASSERT_TRUE(other.valid);
    EXPECT_TRUE(other.silent) << "the chord went to Synth-A, not Synth-B";
}

TEST_F(Instrument, AnInterruptedRunLeavesAWavThatPlaysToTheEnd) {
    start({"--link", link.string(), "--wav", (dir / "live.wav").string()});
    ASSERT_TRUE(connect());
    writeAll(driverEnd, {0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x64});
    ASSERT_EQ(awaitLines(1).size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(child, SIGTERM);
    ASSERT_EQ(exitStatus(), 0) << errors();
    WavFacts live = readWav(dir / "live.wav");
    ASSERT_TRUE(live.valid);
    EXPECT_GE(live.seconds, 2.3);
    EXPECT_FALSE(live.silent);
}

TEST_F(Instrument, RefusesACommandLineItCannotCarryOut) {
    EXPECT_EQ(run({"--send-hex", "9G"}), 2);
    EXPECT_NE(errors().find("--send-hex"), std::string::npos) << errors();
    EXPECT_EQ(run({"--decode", "x", "--link", link.string()}), 2);
    EXPECT_EQ(run({"--wav-dest", "Synth-C", "--wav", "x.wav"}), 2);
    EXPECT_EQ(run({"--decode", (dir / "missing").string()}), 1);
    EXPECT_EQ(run({"--play", (dir / "missing.mid").string()}), 1);
}

} // namespace
