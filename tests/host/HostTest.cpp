// lexigrove-lookup's pieces: its command line, its output formats, its log
// object, and the program run in-process against the real plugin (only what
// needs no search: no request leaves these tests).
#include "host/ConsoleLog.h"
#include "host/InputWords.h"
#include "host/Lookup.h"
#include "host/Options.h"
#include "host/Plugin.h"
#include "host/Text.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace host {
namespace {

using Args = std::vector<std::u16string>;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Reads text in pieces of at most piece bytes, then reports its end (or,
// with fail, a failed read).
InputWords::Read ReadFrom(const std::string& text, size_t piece, bool fail = false) {
    auto at = std::make_shared<size_t>(0);
    return [text, piece, fail, at](char* buffer, size_t size) -> long {
        const size_t n = std::min({piece, size, text.size() - *at});
        if (n == 0) {
            return fail ? -1 : 0;
        }
        std::memcpy(buffer, text.data() + *at, n);
        *at += n;
        return static_cast<long>(n);
    };
}

Outcome RunWith(const Args& args, const std::string& input = std::string()) {
    Outcome run;
    Streams streams;
    streams.out = [&run](const std::string& s) { run.out += s; };
    streams.err = [&run](const std::string& s) { run.err += s; };
    streams.in = ReadFrom(input, input.size() + 1);
    run.status = RunLookup(args, streams);
    return run;
}

std::u16string PluginFile(const char16_t* name) {
    return platform::ExecutableFolder() + name + platform::kModuleSuffix;
}

TEST(OptionsTest, LookupTakesWordsAndBothCodesInAnyOrder) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions({u"--to=fr", u"house", u"--json", u"caf\u00e9 au lait", u"--from",
                              u"en", u"--", u"--not-an-option", u"-"},
                             &o, &error))
        << error;
    EXPECT_EQ(o.mode, Options::Mode::kLookup);
    EXPECT_EQ(o.words, (Args{u"house", u"caf\u00e9 au lait", u"--not-an-option", u"-"}));
    EXPECT_EQ(o.from, u"en");
    EXPECT_EQ(o.to, u"fr");
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.plugin.empty());

    EXPECT_FALSE(o.readInput);
    // --stdin stands in for the words, or adds to them.
    ASSERT_TRUE(ParseOptions({u"--stdin", u"--from", u"fr", u"--to", u"en"}, &o, &error)) << error;
    EXPECT_TRUE(o.readInput);
    EXPECT_TRUE(o.words.empty());

    ASSERT_TRUE(ParseOptions({u"--plugin", u"x.dll", u"--languages"}, &o, &error));
    EXPECT_EQ(o.mode, Options::Mode::kLanguages);
    EXPECT_EQ(o.plugin, u"x.dll");
    // Help wins over everything else on the line, even a bad combination.
    ASSERT_TRUE(ParseOptions({u"--info", u"word", u"--help"}, &o, &error));
    EXPECT_EQ(o.mode, Options::Mode::kHelp);
}

TEST(OptionsTest, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<Args> bad = {
        {},
        {u"--from", u"en", u"--to", u"fr"},
        {u"house", u"--to", u"fr"},
        {u"house", u"--from", u"en"},
        {u"house", u"--from"},
        {u"house", u"--from=", u"--to", u"fr"},
        {u"house", u"--from", u"en", u"--to", u"fr", u"--colour"},
        {u"house", u"--from", u"en", u"--to", u"fr", u"--json=yes"},
        {u"--info", u"house"},
        {u"--languages", u"--from", u"en"},
        {u"--info", u"--languages"},
        {u"--languages", u"--stdin"},
        {u"--stdin", u"--from", u"en"},
        {u"--stdin=yes", u"--from", u"en", u"--to", u"fr"},
    };
    for (const Args& args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(ParseOptions(args, &o, &error)) << args.size();
        EXPECT_FALSE(error.empty());
    }
}

TEST(FormatTest, TableColumnsAlignByCodePoints) {
    const std::vector<SearchEntry> entries = {
        {u"caf\u00e9", u"coffee", u"noun"},
        {u"\U0001D11Ex", u"clef", u"translation"}, // a surrogate pair counts once
        {u"tea", u"th\u00e9", u"noun"},
    };
    EXPECT_EQ(FormatTable(entries), "caf\xC3\xA9  coffee  noun\n"
                                    "\xF0\x9D\x84\x9Ex    clef    translation\n"
                                    "tea   th\xC3\xA9     noun\n");
    EXPECT_EQ(FormatTable({}), "");
}

TEST(FormatTest, ABlockIsTheWordAndItsEntriesIndentedOrWhyThereAreNone) {
    EXPECT_EQ(FormatBlock(u"chevaux",
                          {{u"cheval", u"horse", u"noun"}, {u"cheval", u"h\u00e9", u""}}, "unused"),
              "chevaux\n"
              "  cheval  horse  noun\n"
              "  cheval  h\xC3\xA9\n");
    EXPECT_EQ(FormatBlock(u"qwxz", {}, "no entries"), "qwxz\n  (no entries)\n");
}

TEST(FormatTest, JsonLinesKeepTheFieldOrderAndEscapeWhatJsonNeeds) {
    EXPECT_EQ(FormatJsonLines({{u"caf\u00e9", u"say \"hi\"\\", u"a\tb"}, {u"x", u"", u""}}),
              "{\"word\":\"caf\xC3\xA9\",\"name\":\"say \\\"hi\\\"\\\\\",\"type\":\"a\\tb\"}\n"
              "{\"word\":\"x\",\"name\":\"\",\"type\":\"\"}\n");
}

TEST(TextTest, Utf16BecomesUtf8AndLoneSurrogatesAreReplaced) {
    EXPECT_EQ(ToUtf8(u"a\u00e9\u4e2d\U0001F600"), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(ToUtf8(lone), "a\xEF\xBF\xBD"
                            "b\xEF\xBF\xBD");
    EXPECT_EQ(DisplayWidth(lone), 4u);
    const char16_t lastHigh[] = {u'x', 0xD800, 0};
    EXPECT_EQ(ToUtf8(lastHigh), "x\xEF\xBF\xBD");
    // A long text is converted in pieces of 65,536 units: a pair across the
    // end of a piece stays one code point, a lone surrogate there is replaced.
    const std::u16string run(65535, u'a');
    EXPECT_EQ(ToUtf8(run + u"\U0001F600b"), std::string(65535, 'a') + "\xF0\x9F\x98\x80"
                                                                      "b");
    EXPECT_EQ(ToUtf8(run + char16_t(0xD800) + u"b"), std::string(65535, 'a') + "\xEF\xBF\xBD"
                                                                               "b");
    EXPECT_EQ(ToUtf8(run + u"a" + char16_t(0xDC00)), std::string(65536, 'a') + "\xEF\xBF\xBD");
}

// Every case twice: the input in one read, and a byte at a time (a line and
// its line end, a UTF-8 sequence and a CR LF cut between reads).
TEST(InputWordsTest, OneWordALineTrimmedAndBadLinesRefusedWhileTheRestIsRead) {
    const std::string longest(InputWords::kMaxLineBytes, 'a');
    const std::string input = std::string("\xEF\xBB\xBFmaisons\r\n" // byte order mark, CR LF
                                          "\n"                      // blank lines are skipped
                                          " \t \r\n"
                                          "  caf\xC3\xA9 au lait \n" // trimmed; inner space kept
                                          "bad\xC3(\n")              // line 5: not UTF-8
                              + std::string("nul\0x\n", 6)           // line 6: NUL byte
                              + longest + "b\n"                      // line 7: one byte too long
                              + longest + "\r\n" // the longest line there may be
                              + "\xE4\xB8\xAD\n" // U+4E2D
                              + "yeux";          // no line feed at the end
    for (const size_t piece : {input.size(), size_t{1}}) {
        InputWords words(ReadFrom(input, piece));
        std::vector<std::u16string> taken;
        std::vector<std::string> problems;
        std::vector<size_t> lines;
        std::u16string word;
        std::string problem;
        for (int guard = 0; guard < 20; ++guard) {
            const InputWords::Next next = words.Take(&word, &problem);
            if (next == InputWords::Next::kEnd) {
                break;
            }
            ASSERT_NE(next, InputWords::Next::kFailed);
            if (next == InputWords::Next::kWord) {
                taken.push_back(word);
            } else {
                problems.push_back(problem);
            }
            lines.push_back(words.line());
        }
        EXPECT_EQ(taken, (Args{u"maisons", u"caf\u00e9 au lait",
                               std::u16string(longest.begin(), longest.end()), u"\u4e2d", u"yeux"}))
            << piece;
        EXPECT_EQ(problems,
                  (std::vector<std::string>{"line 5 of standard input is not UTF-8",
                                            "line 6 of standard input holds a NUL byte",
                                            "line 7 of standard input is longer than 4096 bytes"}))
            << piece;
        EXPECT_EQ(lines, (std::vector<size_t>{1, 4, 5, 6, 7, 8, 9, 10})) << piece;
        EXPECT_EQ(words.Take(&word, &problem), InputWords::Next::kEnd);
    }
}

TEST(InputWordsTest, AFailedReadEndsTheInputAndDropsTheLineItCut) {
    for (const size_t piece : {size_t{100}, size_t{1}}) {
        InputWords words(ReadFrom("house\nhal", piece, true));
        std::u16string word;
        std::string problem;
        ASSERT_EQ(words.Take(&word, &problem), InputWords::Next::kWord);
        EXPECT_EQ(word, u"house");
        EXPECT_EQ(words.Take(&word, &problem), InputWords::Next::kFailed);
        EXPECT_EQ(problem, "standard input could not be read");
        EXPECT_EQ(words.Take(&word, &problem), InputWords::Next::kFailed);
    }
    InputWords none(nullptr);
    std::u16string word;
    std::string problem;
    EXPECT_EQ(none.Take(&word, &problem), InputWords::Next::kFailed);
}

TEST(ConsoleLogTest, BothReportKindsArriveThroughTheHostsTable) {
    std::string written;
    ConsoleLog console([&written](const std::string& s) { written += s; });
    CAbstractLog* log = &console; // called as the plugin calls it
    log->AssertReport(u"Assert Failed!!!", u"..\\plugin-lexigrove", 293);
    log->FormattedEntry(u"basiccpp\\BasicString", 390, 1, u"String conversion error: (%d) %s", 1113,
                        u"No mapping \u00e9");
    EXPECT_EQ(written, "assert: Assert Failed!!! ..\\plugin-lexigrove:293\n"
                       "log 1: String conversion error: (1113) No mapping \xC3\xA9\n");
}

TEST(PluginTest, ThePluginsOwnAssertionReportsReachTheLog) {
    std::string written;
    ConsoleLog log([&written](const std::string& s) { written += s; });
    Plugin plugin; // unloaded before the log goes
    std::string error;
    ASSERT_TRUE(plugin.Load(PluginFile(u"plugin-lexigrove"), &error)) << error;
    plugin.SetLog(&log);
    ASSERT_EQ(plugin.Count(), 0);
    SearchEntry entry;
    // Out of range at every capacity: each refusal is reported by the plugin.
    EXPECT_FALSE(plugin.Entry(0, &entry));
    const std::string report = "assert: Assert Failed!!! ..\\plugin-lexigrove:293\n";
    EXPECT_EQ(written, report + report + report);
    EXPECT_EQ(plugin.Name(), u"Lexigrove");
    EXPECT_EQ(plugin.Owner(), u"Brambix");
    EXPECT_EQ(plugin.FromLanguages().size(), 27u);
    EXPECT_EQ(plugin.ToLanguages(), plugin.FromLanguages());
}

TEST(RunLookupTest, InfoAndLanguagesComeFromThePlugin) {
    Outcome info = RunWith({u"--info"});
    EXPECT_EQ(info.status, kExitFound);
    EXPECT_EQ(info.out, "name: Lexigrove\nowner: Brambix\n");
    EXPECT_EQ(info.err, "");
    EXPECT_EQ(RunWith({u"--info", u"--json"}).out,
              "{\"name\":\"Lexigrove\",\"owner\":\"Brambix\"}\n");

    Outcome languages = RunWith({u"--languages"});
    EXPECT_EQ(languages.status, kExitFound);
    EXPECT_EQ(languages.out, "zh-cn zh-tw da nl en fi fr de el hu it ja ko no pl pt pt-br ru sl "
                             "es es sv th uk tr ur ar\n");
}

TEST(RunLookupTest, UsageErrorsAndHelp) {
    Outcome none = RunWith({});
    EXPECT_EQ(none.status, kExitUsage);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("usage: lexigrove-lookup"), std::string::npos);
    Outcome help = RunWith({u"--help"});
    EXPECT_EQ(help.status, kExitFound);
    EXPECT_EQ(help.out, kUsageText);
    EXPECT_EQ(RunWith({u"house", u"--from", u"en"}).status, kExitUsage);
    // Standard input without a word in it looks nothing up.
    Outcome empty = RunWith({u"--stdin", u"--from", u"en", u"--to", u"fr"}, "\n  \n");
    EXPECT_EQ(empty.status, kExitUsage);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "lexigrove-lookup: no word to look up (standard input held none)\n");
}

TEST(RunLookupTest, CodesThePluginDoesNotListAreRefusedBeforeAnySearch) {
    // No service is running and no proxy is set: a search would fail with 2.
    for (const Args& args : {Args{u"house", u"--from", u"xx", u"--to", u"fr"},
                             Args{u"house", u"--from", u"en", u"--to", u"pt_BR"},
                             Args{u"house", u"--from", u"en", u"--to", u"e"}}) {
        Outcome run = RunWith(args);
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("does not support the language code"), std::string::npos) << run.err;
    }
}

TEST(RunLookupTest, APluginThatDoesNotLoadOrLacksExportsIsRefused) {
    Outcome missing = RunWith({u"--info", u"--plugin", PluginFile(u"no-such-plugin")});
    EXPECT_EQ(missing.status, kExitFailed);
    EXPECT_NE(missing.err.find("cannot load the plugin"), std::string::npos) << missing.err;
#ifdef _WIN32
    // Windows: the error code and its system text.
    EXPECT_NE(missing.err.find("(error 126"), std::string::npos) << missing.err;
#else
    // Linux: the loader's own reason, no Windows error.
    Outcome absent = RunWith({u"--info", u"--plugin", u"/nonexistent.so"});
    EXPECT_EQ(absent.status, kExitFailed);
    EXPECT_EQ(absent.err, "lexigrove-lookup: cannot load the plugin /nonexistent.so "
                          "(/nonexistent.so: cannot open shared object file: No such file or "
                          "directory)\n");
    EXPECT_EQ(missing.err.find("error 126"), std::string::npos) << missing.err;
#endif

    Outcome stub = RunWith({u"--info", u"--plugin", PluginFile(u"stub-plugin")});
    EXPECT_EQ(stub.status, kExitFailed);
    EXPECT_EQ(stub.out, "");
    for (const char* name : {"fnSearchWord", "fnGetSearchResult", "fnGetSupportedToLanguages"}) {
        EXPECT_NE(stub.err.find(name), std::string::npos) << stub.err;
    }
    EXPECT_EQ(stub.err.find("fnGetPluginName"), std::string::npos) << stub.err;
}

} // namespace
} // namespace host
