// The same 1,000 headwords looked up in lexigrove-service (HTTP, the full
// reply document read) and in dictd (DICT DEFINE on the same dictionary, RFC
// 2229), both on loopback, at 1, 8 and 64 concurrent clients, each client on
// one kept connection. Rounds of the two alternate so that both see the same
// machine. Then the service's latency for lookups on new connections while
// 256 idle kept-alive connections stay open.
//
// With --learner-set, then the share of a learner's words (inflected,
// capitalised, without accents) that find their dictionary form, and the
// lookup rate of a mix of exact and inflected words against exact ones.
//
//   bench_service --index FILE --database NAME --from CODE --to CODE
//                 --service-port PORT --dictd-port PORT [--rounds N]
//                 [--learner-set FILE]
#include "bench/common/Report.h"
#include "service/Folding.h"
#include "tests/support/PercentEscape.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string index, database, from, to;
    int servicePort = 0, dictdPort = 0, rounds = 3;
    int servicePid = 0, dictdPid = 0;
    std::string learnerSet;
};

// CPU seconds a process has used, its waited-for children included (dictd
// serves each connection in a child that ends with the connection); -1 when
// /proc cannot tell.
double CpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const size_t close = stat.rfind(')');
    if (pid <= 0 || close == std::string::npos) {
        return -1;
    }
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        const size_t end = stat.find(' ', at);
        fields.push_back(stat.substr(at, end == std::string::npos ? end : end - at));
        at = end == std::string::npos ? stat.size() : end + 1;
    }
    // Fields 14 to 17 of stat (utime, stime, cutime, cstime) are 11 to 14
    // after the state field, which is the first here.
    if (fields.size() < 15) {
        return -1;
    }
    double ticks = 0;
    for (size_t i = 11; i <= 14; ++i) {
        ticks += std::atof(fields[i].c_str());
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int Connect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int s, const std::string& data) {
    size_t at = 0;
    while (at < data.size()) {
        const ssize_t n = send(s, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        at += static_cast<size_t>(n);
    }
    return true;
}

// 1,000 headwords spread evenly over the dictionary's index, without its
// own "00database" entries and without words DICT cannot quote.
std::vector<std::string> Headwords(const std::string& index) {
    std::ifstream in(index);
    std::vector<std::string> all;
    std::string line;
    while (std::getline(in, line)) {
        const std::string word = line.substr(0, line.find('\t'));
        if (!word.empty() && word.rfind("00database", 0) != 0 &&
            word.rfind("00-database", 0) != 0 && word.find_first_of("\"\\") == std::string::npos) {
            all.push_back(word);
        }
    }
    std::vector<std::string> picked;
    for (size_t i = 0; i < 1000 && !all.empty(); ++i) {
        picked.push_back(all[i * all.size() / 1000]);
    }
    return picked;
}

// One client's connection to either server. Lookup returns the number of
// translations (HTTP: <item> elements; DICT: definitions), -1 on failure.
class Client {
public:
    virtual ~Client() {
        if (s_ >= 0) {
            close(s_);
        }
    }
    virtual long Lookup(const std::string& word) = 0;

protected:
    // Reads more into buffer_; false at the end of the stream.
    bool Fill() {
        // Acknowledge at once: dictd writes a reply in several small
        // segments without TCP_NODELAY, and a delayed acknowledgement would
        // hold each of its lookups back by 40 ms, timing the client's
        // acknowledgement instead of the server.
        const int on = 1;
        setsockopt(s_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        char chunk[16384];
        const ssize_t n = recv(s_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }
    int s_ = -1;
    std::string buffer_;
};

class HttpClient : public Client {
public:
    HttpClient(int port, const Options& o) {
        s_ = Connect(port);
        prefix_ =
            "GET /serverjobs/dictionary.php?fromlang=" + o.from + "&tolang=" + o.to + "&word=";
    }
    // A word written "FROM\tTO\tWORD" is looked up in that direction.
    long Lookup(const std::string& word) override {
        std::string request = prefix_ + testsupport::PercentEscaped(word);
        const size_t tab = word.find('\t');
        if (tab != std::string::npos) {
            const size_t tab2 = word.find('\t', tab + 1);
            request = "GET /serverjobs/dictionary.php?fromlang=" + word.substr(0, tab) +
                      "&tolang=" + word.substr(tab + 1, tab2 - tab - 1) +
                      "&word=" + testsupport::PercentEscaped(word.substr(tab2 + 1));
        }
        if (s_ < 0 || !SendAll(s_, request + " HTTP/1.1\r\nHost: bench\r\n\r\n")) {
            return -1;
        }
        size_t split;
        while ((split = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill()) {
                return -1;
            }
        }
        const size_t at = buffer_.find("Content-Length: ");
        if (buffer_.compare(0, 12, "HTTP/1.1 200") != 0 || at == std::string::npos || at > split) {
            return -1;
        }
        const size_t length = std::strtoul(buffer_.c_str() + at + 16, nullptr, 10);
        while (buffer_.size() < split + 4 + length) {
            if (!Fill()) {
                return -1;
            }
        }
        body_ = buffer_.substr(split + 4, length);
        const std::string& body = body_;
        buffer_.erase(0, split + 4 + length);
        if (body.find("status=\"ok\"") == std::string::npos) {
            return -1;
        }
        long items = 0;
        for (size_t p = body.find("<item "); p != std::string::npos;
             p = body.find("<item ", p + 1)) {
            ++items;
        }
        return items;
    }

    // The reply document of the last lookup.
    const std::string& body() const { return body_; }

private:
    std::string prefix_;
    std::string body_;
};

class DictClient : public Client {
public:
    DictClient(int port, const Options& o) : database_(o.database) {
        s_ = Connect(port);
        std::string banner;
        if (s_ >= 0 && !ReadLine(&banner)) {
            close(s_);
            s_ = -1;
        }
    }
    long Lookup(const std::string& word) override {
        if (s_ < 0 || !SendAll(s_, "DEFINE " + database_ + " \"" + word + "\"\r\n")) {
            return -1;
        }
        long definitions = 0;
        bool inText = false;
        std::string line;
        while (ReadLine(&line)) {
            if (inText) {
                inText = line != ".";
                continue;
            }
            if (line.compare(0, 4, "151 ") == 0) {
                ++definitions;
                inText = true;
            } else if (line.compare(0, 3, "150") == 0) {
                continue;
            } else if (line.compare(0, 3, "250") == 0 || line.compare(0, 3, "552") == 0) {
                return definitions;
            } else {
                return -1;
            }
        }
        return -1;
    }

private:
    bool ReadLine(std::string* line) {
        size_t end;
        while ((end = buffer_.find("\r\n", scanned_)) == std::string::npos) {
            scanned_ = buffer_.size() > 0 ? buffer_.size() - 1 : 0;
            if (!Fill()) {
                return false;
            }
        }
        line->assign(buffer_, 0, end);
        buffer_.erase(0, end + 2);
        scanned_ = 0;
        return true;
    }
    std::string database_;
    size_t scanned_ = 0;
};

struct Run {
    double seconds = 0;
    std::vector<double> latencies; // milliseconds
    long found = 0, failed = 0;
};

// Every word once, spread over `clients` connections made before the clock
// starts.
template <class C>
Run RunOnce(int port, const Options& o, const std::vector<std::string>& words, int clients) {
    std::vector<std::unique_ptr<Client>> connections;
    for (int c = 0; c < clients; ++c) {
        connections.push_back(std::make_unique<C>(port, o));
    }
    std::vector<Run> parts(static_cast<size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Run& part = parts[static_cast<size_t>(c)];
            ++ready;
            while (!go) {
                std::this_thread::yield();
            }
            for (size_t i = static_cast<size_t>(c); i < words.size();
                 i += static_cast<size_t>(clients)) {
                const auto started = Clock::now();
                const long n = connections[static_cast<size_t>(c)]->Lookup(words[i]);
                part.latencies.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - started).count());
                if (n < 0) {
                    ++part.failed;
                } else {
                    part.found += n > 0 ? 1 : 0;
                }
            }
        });
    }
    while (ready < clients) {
        std::this_thread::yield();
    }
    const auto started = Clock::now();
    go = true;
    for (std::thread& t : threads) {
        t.join();
    }
    Run run;
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    for (const Run& part : parts) {
        run.latencies.insert(run.latencies.end(), part.latencies.begin(), part.latencies.end());
        run.found += part.found;
        run.failed += part.failed;
    }
    return run;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[at];
}

struct Totals {
    double seconds = 0;
    std::vector<double> latencies;
    long found = 0, failed = 0, lookups = 0;
    void Add(const Run& r) {
        seconds += r.seconds;
        latencies.insert(latencies.end(), r.latencies.begin(), r.latencies.end());
        found += r.found;
        failed += r.failed;
        lookups += static_cast<long>(r.latencies.size());
    }
    double PerSecond() const { return seconds > 0 ? lookups / seconds : 0; }
};

// Lookups on new connections, one after another, while 256 kept-alive
// connections (half after a request of their own, half before any) stay
// open. Their p99 in milliseconds; -1 when the idle connections could not be
// made.
double IdleConnectionsP99(const Options& o, const std::vector<std::string>& words) {
    std::vector<std::unique_ptr<HttpClient>> idle;
    for (int i = 0; i < 256; ++i) {
        auto client = std::make_unique<HttpClient>(o.servicePort, o);
        if (i % 2 == 0 && client->Lookup(words[static_cast<size_t>(i)]) < 0) {
            return -1;
        }
        idle.push_back(std::move(client));
    }
    std::vector<double> latencies;
    for (size_t i = 0; i < words.size(); ++i) {
        const auto started = Clock::now();
        HttpClient fresh(o.servicePort, o);
        if (fresh.Lookup(words[i]) < 0) {
            return -1;
        }
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    }
    std::printf("idle-256: %zu lookups on new connections, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                latencies.size(), Percentile(latencies, 0.50), Percentile(latencies, 0.99),
                Percentile(latencies, 1.0));
    return Percentile(latencies, 0.99);
}

// One line of the learner's set (bench/service/learner-set.tsv, written by
// make-learner-set).
struct LearnerCase {
    std::string kind, from, to, word, lemma;
};

std::vector<LearnerCase> ReadLearnerSet(const std::string& path) {
    std::ifstream in(path);
    std::vector<LearnerCase> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        size_t at = 0;
        for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
            fields.push_back(line.substr(at, tab - at));
        }
        fields.push_back(line.substr(at));
        if (fields.size() >= 5) {
            out.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
        }
    }
    return out;
}

// The words of the results of a reply document, their XML escapes undone.
std::vector<std::string> ResultWords(const std::string& body) {
    std::vector<std::string> out;
    const std::string open = "<word name=\"";
    for (size_t at = body.find(open); at != std::string::npos; at = body.find(open, at + 1)) {
        const size_t start = at + open.size();
        std::string word = body.substr(start, body.find('"', start) - start);
        for (const auto& [escape, text] : {std::pair<std::string, std::string>{"&lt;", "<"},
                                           {"&gt;", ">"},
                                           {"&quot;", "\""},
                                           {"&apos;", "'"},
                                           {"&amp;", "&"}}) {
            for (size_t e = word.find(escape); e != std::string::npos; e = word.find(escape, e)) {
                word.replace(e, escape.size(), text);
                e += text.size();
            }
        }
        out.push_back(word);
    }
    return out;
}

// How well the service finds what a learner means: each line of the set is
// right when a result's word is its dictionary form (ignoring letter case);
// an "apart" line when no result is the accented headword; a "nonsense" line
// when nothing is found. Prints the share per kind and direction and the
// RATIO lines of each kind; false when a lookup failed.
bool LearnerQuality(const Options& o, const std::vector<LearnerCase>& set) {
    std::map<std::string, std::map<std::string, std::pair<int, int>>> tally; // kind, direction
    std::vector<std::string> misses;
    HttpClient client(o.servicePort, o);
    for (const LearnerCase& c : set) {
        if (client.Lookup(c.from + "\t" + c.to + "\t" + c.word) < 0) {
            std::fprintf(stderr, "bench_service: the lookup of %s (%s -> %s) failed\n",
                         c.word.c_str(), c.from.c_str(), c.to.c_str());
            return false;
        }
        const std::vector<std::string> words = ResultWords(client.body());
        const service::CaseRules rules = service::CaseRulesFor(c.from);
        bool right = false;
        if (c.kind == "nonsense") {
            right = words.empty();
        } else if (c.kind == "apart") {
            right = std::find(words.begin(), words.end(), c.lemma) == words.end();
        } else {
            for (const std::string& w : words) {
                right = right || service::FoldCase(w, rules) == service::FoldCase(c.lemma, rules);
            }
        }
        auto& count = tally[c.kind][c.from + ">" + c.to];
        count.first += right ? 1 : 0;
        ++count.second;
        if (!right) {
            misses.push_back(c.kind + " " + c.from + ">" + c.to + " " + c.word + " (" + c.lemma +
                             ")");
        }
    }
    std::printf("learner's set: %zu lookups (bench/service/learner-set.tsv)\n", set.size());
    std::map<std::string, std::pair<int, int>> totals;
    for (const auto& [kind, directions] : tally) {
        std::printf("%-10s", kind.c_str());
        for (const auto& [direction, count] : directions) {
            std::printf(" %s %d/%d", direction.c_str(), count.first, count.second);
            totals[kind].first += count.first;
            totals[kind].second += count.second;
        }
        std::printf("\n");
    }
    for (const std::string& miss : misses) {
        std::printf("missed: %s\n", miss.c_str());
    }
    struct Target {
        const char *kind, *name;
        double limit;
    };
    for (const Target& t : {Target{"inflected", "learner/inflected-found", 0.9},
                            Target{"capital", "learner/capitals-found", 1.0},
                            Target{"accents", "learner/without-accents-found", 0.95},
                            Target{"dictionary", "learner/dictionary-forms-found", 1.0},
                            Target{"apart", "learner/accents-apart-kept", 1.0}}) {
        const auto& [right, all] = totals[t.kind];
        bench::PrintRatio(t.name, all > 0 ? static_cast<double>(right) / all : 0, ">=", t.limit,
                          std::to_string(right) + " of " + std::to_string(all));
    }
    // The service's resident memory with the set's 20 directions and their
    // morphology loaded.
    std::ifstream status("/proc/" + std::to_string(o.servicePid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            bench::PrintFigure("service/resident-mib-after-learner-set",
                               std::atof(line.c_str() + 6) / 1024.0,
                               "20 directions and their morphology loaded");
        }
    }
    const auto& [quiet, nonsense] = totals["nonsense"];
    bench::PrintRatio("learner/nonsense-answered", nonsense - quiet, "<=", 0,
                      "of " + std::to_string(nonsense) + " made-up words");
    return true;
}

// The lookup rate of a mix of exact and inflected words against exact words
// alone, rounds alternating, at 1 and 8 clients; and at 1 client the p99 of
// the words that need their lemma.
bool LearnerSpeed(const Options& o, const std::vector<std::string>& exact,
                  const std::vector<LearnerCase>& set) {
    std::vector<std::string> inflected;
    for (const LearnerCase& c : set) {
        if (c.kind == "inflected") {
            inflected.push_back(c.from + "\t" + c.to + "\t" + c.word);
        }
    }
    if (inflected.empty()) {
        return false;
    }
    std::vector<std::string> mix = exact;
    for (size_t i = 1; i < mix.size(); i += 2) {
        mix[i] = inflected[(i / 2) % inflected.size()];
    }
    RunOnce<HttpClient>(o.servicePort, o, mix, 8); // loads every direction's data
    for (int clients : {1, 8}) {
        Totals plain, mixed;
        std::vector<double> lemmaLatencies;
        for (int round = 0; round < o.rounds; ++round) {
            plain.Add(RunOnce<HttpClient>(o.servicePort, o, exact, clients));
            const Run run = RunOnce<HttpClient>(o.servicePort, o, mix, clients);
            mixed.Add(run);
            if (clients == 1) {
                for (size_t i = 1; i < run.latencies.size(); i += 2) {
                    lemmaLatencies.push_back(run.latencies[i]);
                }
            }
        }
        if (plain.failed != 0 || mixed.failed != 0) {
            return false;
        }
        const std::string suffix =
            "-" + std::to_string(clients) + "-client" + (clients == 1 ? "" : "s");
        std::printf("%d clients: exact words %.0f lookups/s, half inflected %.0f lookups/s\n",
                    clients, plain.PerSecond(), mixed.PerSecond());
        bench::PrintRatio("service/mixed-vs-exact-lookups-per-s" + suffix,
                          mixed.PerSecond() / plain.PerSecond(), ">=", 0.8,
                          std::to_string(static_cast<long>(mixed.PerSecond())) + " vs " +
                              std::to_string(static_cast<long>(plain.PerSecond())) + " lookups/s");
        if (clients == 1) {
            char detail[96];
            std::snprintf(detail, sizeof detail, "%zu inflected words, p50 %.3f ms",
                          lemmaLatencies.size(), Percentile(lemmaLatencies, 0.5));
            bench::PrintRatio("service/lemma-lookup-p99-ms-1-client",
                              Percentile(lemmaLatencies, 0.99), "<=", 5.0, detail);
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--index") {
            o.index = value;
        } else if (name == "--database") {
            o.database = value;
        } else if (name == "--from") {
            o.from = value;
        } else if (name == "--to") {
            o.to = value;
        } else if (name == "--service-port") {
            o.servicePort = std::atoi(value.c_str());
        } else if (name == "--dictd-port") {
            o.dictdPort = std::atoi(value.c_str());
        } else if (name == "--service-pid") {
            o.servicePid = std::atoi(value.c_str());
        } else if (name == "--dictd-pid") {
            o.dictdPid = std::atoi(value.c_str());
        } else if (name == "--learner-set") {
            o.learnerSet = value;
        } else if (name == "--rounds") {
            o.rounds = std::max(1, std::atoi(value.c_str()));
        }
    }
    const std::vector<std::string> words = Headwords(o.index);
    if (words.size() != 1000 || o.servicePort == 0 || o.dictdPort == 0) {
        std::fprintf(stderr, "bench_service: need --index (1,000 headwords), --service-port and "
                             "--dictd-port\n");
        return 1;
    }
    // Warm both: the service loads the dictionary at its first lookup.
    const Run warmService = RunOnce<HttpClient>(o.servicePort, o, words, 8);
    const Run warmDictd = RunOnce<DictClient>(o.dictdPort, o, words, 8);
    std::printf("%s (%s -> %s): 1,000 headwords; found by the service %ld, by dictd %ld; "
                "failed %ld and %ld\n",
                o.database.c_str(), o.from.c_str(), o.to.c_str(), warmService.found,
                warmDictd.found, warmService.failed, warmDictd.failed);
    if (warmService.failed != 0 || warmDictd.failed != 0) {
        return 1;
    }
    std::printf("%-8s %-8s %12s %10s %10s\n", "clients", "server", "lookups/s", "p50 ms", "p99 ms");
    bool ok = true;
    for (int clients : {1, 8, 64}) {
        Totals service, dictd;
        double serviceCpu = 0, dictdCpu = 0;
        for (int round = 0; round < o.rounds; ++round) {
            double before = CpuSeconds(o.servicePid);
            service.Add(RunOnce<HttpClient>(o.servicePort, o, words, clients));
            serviceCpu += CpuSeconds(o.servicePid) - before;
            before = CpuSeconds(o.dictdPid);
            dictd.Add(RunOnce<DictClient>(o.dictdPort, o, words, clients));
            // dictd's children count once it has waited for them.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            dictdCpu += CpuSeconds(o.dictdPid) - before;
        }
        ok = ok && service.failed == 0 && dictd.failed == 0;
        const double sp50 = Percentile(service.latencies, 0.5),
                     sp99 = Percentile(service.latencies, 0.99);
        const double dp50 = Percentile(dictd.latencies, 0.5),
                     dp99 = Percentile(dictd.latencies, 0.99);
        std::printf("%-8d %-8s %12.0f %10.3f %10.3f\n", clients, "service", service.PerSecond(),
                    sp50, sp99);
        std::printf("%-8d %-8s %12.0f %10.3f %10.3f\n", clients, "dictd", dictd.PerSecond(), dp50,
                    dp99);
        std::printf("%-8d %-8s %12.2f %10.2f %10.2f\n", clients, "ratio",
                    service.PerSecond() / dictd.PerSecond(), sp50 / dp50, sp99 / dp99);
        const std::string suffix = "-" + std::to_string(clients) + "-clients";
        if (o.servicePid > 0 && o.dictdPid > 0 && dictdCpu > 0) {
            const double perService = 1e6 * serviceCpu / static_cast<double>(service.lookups);
            const double perDictd = 1e6 * dictdCpu / static_cast<double>(dictd.lookups);
            std::printf("%-8d %-8s %12s %10.0f %10.0f  (server CPU microseconds per lookup: "
                        "service, dictd)\n",
                        clients, "cpu", "", perService, perDictd);
            char cpu[96];
            std::snprintf(cpu, sizeof cpu, "%.0f vs %.0f CPU us per lookup", perService, perDictd);
            bench::PrintFigure("service/dictd-cpu-per-lookup" + suffix, perService / perDictd, cpu);
        }
        const std::string detail = std::to_string(static_cast<long>(service.PerSecond())) + " vs " +
                                   std::to_string(static_cast<long>(dictd.PerSecond())) +
                                   " lookups/s";
        char p99[96];
        std::snprintf(p99, sizeof p99, "p99 %.3f vs %.3f ms", sp99, dp99);
        if (clients == 1) {
            bench::PrintFigure("service/dictd-lookups-per-s" + suffix,
                               service.PerSecond() / dictd.PerSecond(), detail);
            bench::PrintFigure("service/dictd-p99" + suffix, sp99 / dp99, p99);
        } else {
            bench::PrintRatio("service/dictd-lookups-per-s" + suffix,
                              service.PerSecond() / dictd.PerSecond(), ">=", 1.0, detail);
            bench::PrintRatio("service/dictd-p99" + suffix, sp99 / dp99, "<=", 1.0, p99);
        }
    }
    const double idle = IdleConnectionsP99(o, words);
    if (idle < 0) {
        std::fprintf(stderr, "bench_service: the idle-connection run failed\n");
        return 1;
    }
    bench::PrintRatio("service/new-connection-p99-ms-behind-256-idle", idle, "<=", 50.0,
                      "1,000 lookups, each on a new connection");
    if (!o.learnerSet.empty()) {
        const std::vector<LearnerCase> set = ReadLearnerSet(o.learnerSet);
        if (set.empty() || !LearnerQuality(o, set) || !LearnerSpeed(o, words, set)) {
            std::fprintf(stderr, "bench_service: the learner's set %s did not run\n",
                         o.learnerSet.c_str());
            return 1;
        }
    }
    return ok ? 0 : 1;
}
