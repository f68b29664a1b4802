// fuzz-run: runs the targets built next to it, each for SECONDS inside
// scripts/sandbox.sh from its committed seeds and its corpus grown so far,
// and prints the executions and the coverage of every target; exits 1 when a
// target found a crash, a leak, a hang or a broken invariant, or did not run.
//
//   fuzz-run ROOT BUILD SECONDS [TARGET...]   (scripts/fuzz.sh, after the build)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

// Runs argv with its output and errors into log; its exit status, or -1.
int run_logged(std::vector<std::string> args, const std::string &log) {
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    int status = 0;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The last match of re's first group in the log ("" when none).
std::string last(const std::string &text, const std::regex &re) {
    std::string found;
    for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i) {
        found = (*i)[1];
    }
    return found;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: fuzz-run ROOT BUILD SECONDS [TARGET...]\n");
        return 2;
    }
    const std::string root = argv[1], build = argv[2], seconds = argv[3];
    std::vector<std::string> targets(argv + 4, argv + argc);
    if (targets.empty()) {
        for (const auto &e : fs::directory_iterator(root + "/tests/fuzz")) {
            const std::string name = e.path().stem().string();
            if (name.ends_with("_fuzz") && e.path().extension() == ".cpp") {
                targets.push_back(name);
            }
        }
        std::sort(targets.begin(), targets.end());
    }
    // Longest input per target: a receive buffer, a configuration file, a request.
    std::map<std::string, std::string> max_len = {
        {"recv_packet_fuzz", "2049"}, {"params_fuzz", "8192"}, {"control_fuzz", "156"}};
    fs::create_directories(build + "/artifacts");
    int failed = 0;
    std::vector<std::string> summary;
    for (const std::string &t : targets) {
        const std::string name = t.substr(0, t.rfind("_fuzz")), work = build + "/corpus/" + name;
        const std::string log = build + "/" + t + ".log";
        fs::create_directories(work);
        std::printf("== %s: %s s\n", t.c_str(), seconds.c_str());
        std::fflush(stdout);
        // Without a console (trace is formatted, then dropped) and without a
        // controller socket (log lines fail at once).  The wall-clock bound is
        // generous: libFuzzer stops itself at max_total_time.
        const int rc =
            run_logged({"timeout", "--kill-after=30", std::to_string(std::stoi(seconds) + 120),
                        root + "/scripts/sandbox.sh", "--keep-ttyS0-missing", build + "/" + t, work,
                        root + "/tests/fuzz/corpus/" + name, "-max_total_time=" + seconds,
                        "-max_len=" + (max_len.count(t) != 0 ? max_len[t] : "4096"), "-timeout=10",
                        "-rss_limit_mb=2048", "-close_fd_mask=2", "-print_final_stats=1",
                        "-artifact_prefix=" + build + "/artifacts/" + name + "-"},
                       log);
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        const std::string execs =
            last(text, std::regex("stat::number_of_executed_units: ([0-9]+)"));
        const std::string cov = last(text, std::regex("(cov: [0-9]+ ft: [0-9]+)"));
        char line[512];
        if (rc != 0 || execs.empty()) {
            ++failed;
            std::snprintf(line, sizeof line, "%s: FAILED (exit %d) after %s executions; log %s",
                          t.c_str(), rc, execs.empty() ? "?" : execs.c_str(), log.c_str());
            std::istringstream lines(text);
            int shown = 0;
            const std::regex bad("ERROR|SUMMARY|invariant broken");
            for (std::string l; shown < 20 && std::getline(lines, l);) {
                if (std::regex_search(l, bad)) {
                    std::printf("%s\n", l.c_str());
                    ++shown;
                }
            }
        } else {
            const auto units = std::count_if(fs::directory_iterator(work), fs::directory_iterator(),
                                             [](const fs::directory_entry &e) {
                                                 return e.path().filename().string()[0] != '.';
                                             });
            std::snprintf(line, sizeof line, "%s: %s executions in %s s, %s, corpus %ld", t.c_str(),
                          execs.c_str(), seconds.c_str(), cov.empty() ? "cov: ?" : cov.c_str(),
                          static_cast<long>(units));
        }
        summary.push_back(line);
    }
    std::printf("\n== fuzz summary\n");
    for (const std::string &s : summary) {
        std::printf("   %s\n", s.c_str());
    }
    return failed == 0 ? 0 : 1;
}
