// The man pages in man/: each renders without warnings, has the sections a
// user looks for, and quotes every message its program can print. The
// messages are taken from the program's sources, so a new or changed message
// without its page entry fails here.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Page {
    const char *program;
    // Source files and folders whose string literals the program can print,
    // relative to the source tree; the first one is the program's own.
    std::vector<const char *> sources;
    bool tool;  // a tool that opens a board: its page has the field-update sequence
    // Messages of those sources that the program never prints (the board
    // link's mode lines are the mode tools').
    std::vector<std::string> not_printed = {};
};

// Names the parameter in test names and failure messages.
void PrintTo(const Page &page, std::ostream *os) { *os << page.program; }

const char INCORRECT_MODE[] = "Incorrect mode value: %d\n";
const char BOOTLOADER_LINE[] = "Board in bootloader mode. \n";
const char NORMAL_LINE[] = "Board in normal operation mode. \n";

const Page PAGES[] = {
    {"zeda_pcie_get_mode", {"zeda_pcie_get_mode", "board_link/board_link.cpp"}, true},
    {"zeda_pcie_mode_change", {"zeda_pcie_mode_change", "board_link/board_link.cpp"}, true},
    {"zeda_pcie_flash_image",
     {"zeda_pcie_flash_image", "board_link/board_link.cpp"},
     true,
     {INCORRECT_MODE, BOOTLOADER_LINE, NORMAL_LINE}},
    {"zeda_pcie_list_boards", {"zeda_pcie_list_boards"}, false},
    {"zeda_pcie_wait_board", {"zeda_pcie_wait_board", "board_link/board_link.cpp"}, true, {INCORRECT_MODE}},
    {"riffa_sim", {"riffa_sim/riffa_sim_main.cpp", "riffa_sim/help.h"}, false},
};

std::string source_path(const std::string &relative) { return std::string(ZEDA_SOURCE_DIR) + "/" + relative; }

std::string page_path(const Page &p) { return source_path(std::string("man/") + p.program + ".1"); }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Output {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs a shell command line; standard error goes to a scratch file.
Output shell(const std::string &command) {
    char err_path[] = "/tmp/man_pages_test_XXXXXX";
    const int fd = mkstemp(err_path);
    Output o;
    if (fd < 0) return o;
    close(fd);
    FILE *pipe = popen((command + " 2>" + err_path).c_str(), "r");
    if (pipe) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) o.out.append(buf, n);
        const int rc = pclose(pipe);
        o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    o.err = read_file(err_path);
    std::remove(err_path);
    return o;
}

// --- string literals of C++ sources ---------------------------------------

std::string unescape(const std::string &body) {
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\' || i + 1 >= body.size()) {
            out += body[i];
            continue;
        }
        const char c = body[++i];
        switch (c) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'x': {
            std::string hex;
            while (i + 1 < body.size() && std::isxdigit(static_cast<unsigned char>(body[i + 1]))) hex += body[++i];
            out += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
            break;
        }
        default:
            if (c >= '0' && c <= '7') {
                std::string oct(1, c);
                while (oct.size() < 3 && i + 1 < body.size() && body[i + 1] >= '0' && body[i + 1] <= '7')
                    oct += body[++i];
                out += static_cast<char>(std::strtol(oct.c_str(), nullptr, 8));
            } else {
                out += c;  // \" \' \\ \?
            }
        }
    }
    return out;
}

// String literals of a source file, adjacent ones joined as the compiler
// joins them. Comments, character literals, preprocessor lines and the
// linkage name of extern "C" are not messages.
std::vector<std::string> string_literals(const std::string &src) {
    std::vector<std::string> literals;
    bool joinable = false;  // only blanks and comments since the last literal
    std::string last_word;
    size_t i = 0;
    bool line_start = true;
    while (i < src.size()) {
        const char c = src[i];
        if (line_start && (c == ' ' || c == '\t')) { ++i; continue; }
        if (line_start && c == '#') {  // a preprocessor line, with its continuations
            while (i < src.size() && !(src[i] == '\n' && src[i - 1] != '\\')) ++i;
            continue;
        }
        line_start = false;
        if (c == '\n') { line_start = true; ++i; continue; }
        if (std::isspace(static_cast<unsigned char>(c))) { ++i; continue; }
        if (src.compare(i, 2, "//") == 0) { i = src.find('\n', i); if (i == std::string::npos) break; continue; }
        if (src.compare(i, 2, "/*") == 0) {
            i = src.find("*/", i);
            if (i == std::string::npos) break;
            i += 2;
            continue;
        }
        if (c == '\'') {  // character literal
            for (++i; i < src.size() && src[i] != '\''; ++i) if (src[i] == '\\') ++i;
            ++i;
            joinable = false;
            last_word.clear();
            continue;
        }
        if (c == '"') {
            std::string body;
            for (++i; i < src.size() && src[i] != '"'; ++i) {
                if (src[i] == '\\') body += src[i++];
                body += src[i];
            }
            ++i;
            if (last_word == "extern") { last_word.clear(); continue; }
            if (joinable) literals.back() += unescape(body); else literals.push_back(unescape(body));
            joinable = true;
            continue;
        }
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
            last_word.clear();
            while (i < src.size() && (std::isalnum(static_cast<unsigned char>(src[i])) || src[i] == '_'))
                last_word += src[i++];
        } else {
            last_word.clear();
            ++i;
        }
        joinable = false;
    }
    return literals;
}

// A program's help lives in its help.h; its messages everywhere else.
bool is_help(const fs::path &p) { return p.filename() == "help.h"; }

// One line of a help text, "  synopsis   explanation\n", as a command table
// holds it.
bool is_help_line(const std::string &l) {
    return l.compare(0, 2, "  ") == 0 && l.find('\n') == l.size() - 1;
}

bool is_source(const fs::path &p) {
    const std::string name = p.filename().string();
    const std::string ext = p.extension().string();
    // Tests, fuzzers and their helpers print nothing a user meets.
    return (ext == ".cpp" || ext == ".h") && name.find("test") == std::string::npos &&
           name.find("fuzz") == std::string::npos;
}

// Lines of a help text of the form "  synopsis   explanation": the synopsis.
std::vector<std::string> help_synopses(const std::string &help) {
    std::vector<std::string> out;
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 2, "  ") != 0) continue;
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos) continue;
        const size_t gap = line.find("  ", start);
        out.push_back(line.substr(start, gap == std::string::npos ? std::string::npos : gap - start));
    }
    return out;
}

// What a program can print: its messages, and the synopses of the
// arguments its help lists (a help text lives in help.h, or is a literal of
// many lines).
std::vector<std::string> program_messages(const Page &page) {
    std::vector<std::string> all;
    for (const char *rel : page.sources) {
        const fs::path path = source_path(rel);
        std::vector<fs::path> files;
        if (fs::is_directory(path)) {
            for (const auto &entry : fs::directory_iterator(path))
                if (entry.is_regular_file() && is_source(entry.path())) files.push_back(entry.path());
        } else {
            files.push_back(path);
        }
        for (const fs::path &f : files) {
            for (const std::string &l : string_literals(read_file(f.string()))) {
                if (std::count(page.not_printed.begin(), page.not_printed.end(), l) != 0) continue;
                const long lines = std::count(l.begin(), l.end(), '\n');
                // A help's one-line parts (the usage line's arguments) are quoted as they are.
                if (lines == 0 || (!is_help(f) && !is_help_line(l) && lines <= 5)) all.push_back(l);
                else for (std::string &synopsis : help_synopses(l)) all.push_back(std::move(synopsis));
            }
        }
    }
    return all;
}

bool has_letter(const std::string &s) {
    for (unsigned char c : s) if (std::isalpha(c)) return true;
    return false;
}

// --- matching a printf format against the rendered page -------------------

std::string collapse_blanks(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isspace(c)) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += char(c);
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// A message format as pieces of literal text and conversions; a conversion
// stands for whatever placeholder the page shows there: one word, or for %s
// any text.
struct FormatPiece {
    enum Kind { text, word, any } kind;
    std::string literal;
};

std::vector<FormatPiece> format_pieces(const std::string &format) {
    const std::string text = collapse_blanks(format);
    std::vector<FormatPiece> pieces;
    auto add_char = [&](char c) {
        if (pieces.empty() || pieces.back().kind != FormatPiece::text) pieces.push_back({FormatPiece::text, ""});
        pieces.back().literal += c;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) { add_char(text[i]); continue; }
        if (text[i + 1] == '%') { add_char('%'); ++i; continue; }
        size_t j = i + 1;
        while (j < text.size() && std::strchr("-+ #0", text[j])) ++j;
        while (j < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == '*' || text[j] == '.'))
            ++j;
        while (j < text.size() && std::strchr("hlLqjzt", text[j])) ++j;
        pieces.push_back({j < text.size() && text[j] == 's' ? FormatPiece::any : FormatPiece::word, ""});
        i = j;
    }
    return pieces;
}

bool pieces_match_at(const std::string &t, size_t pos, const std::vector<FormatPiece> &pieces, size_t k) {
    if (k == pieces.size()) return true;
    const FormatPiece &p = pieces[k];
    if (p.kind == FormatPiece::text)
        return t.compare(pos, p.literal.size(), p.literal) == 0 &&
               pieces_match_at(t, pos + p.literal.size(), pieces, k + 1);
    for (size_t end = pos + (p.kind == FormatPiece::word ? 1 : 0); end <= t.size(); ++end) {
        if (p.kind == FormatPiece::word && std::isspace(static_cast<unsigned char>(t[end - 1]))) break;
        if (pieces_match_at(t, end, pieces, k + 1)) return true;
    }
    return false;
}

// True when the collapsed page text quotes the message somewhere.
bool page_quotes(const std::string &text, const std::string &format) {
    const std::vector<FormatPiece> pieces = format_pieces(format);
    for (size_t start = 0; start <= text.size(); ++start)
        if (pieces_match_at(text, start, pieces, 0)) return true;
    return false;
}


// The page as a reader sees it, blanks collapsed, typographic dashes and
// quotes turned back into ASCII.
std::string rendered_text(const Page &page) {
    const Output o = shell("MANPAGER=cat MANWIDTH=1000 LC_ALL=C.UTF-8 man -E UTF-8 -l '" + page_path(page) + "'");
    EXPECT_EQ(o.status, 0) << o.err;
    std::string text = o.out;
    const std::pair<const char *, const char *> ascii[] = {
        {"\u2010", "-"}, {"\u2011", "-"}, {"\u2212", "-"}, {"\u2018", "'"},
        {"\u2019", "'"}, {"\u201c", "\""}, {"\u201d", "\""}};
    for (const auto &[from, to] : ascii)
        for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, std::strlen(from), to);
    return collapse_blanks(text);
}

class ManPage : public ::testing::TestWithParam<Page> {};

TEST_P(ManPage, RendersWithoutWarnings) {
    const Page &page = GetParam();
    ASSERT_TRUE(fs::is_regular_file(page_path(page))) << page_path(page);
    ASSERT_EQ(shell("command -v man").status, 0) << "man is not installed (apt-get install man-db)";
    // As lintian checks pages, and once more on a plain ASCII terminal.
    for (const char *how : {"LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z",
                            "LC_ALL=C MANWIDTH=80 MANPAGER=cat man --warnings -l"}) {
        const Output o = shell(std::string(how) + " '" + page_path(page) + "' >/dev/null");
        EXPECT_EQ(o.status, 0) << how;
        EXPECT_EQ(o.err, "") << how;
    }
}

TEST_P(ManPage, HasTheSectionsAUserLooksFor) {
    const Page &page = GetParam();
    const std::string roff = read_file(page_path(page));
    std::vector<std::string> sections = {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "SEE ALSO"};
    if (page.tool) sections.insert(sections.end(), {"ARGUMENTS", "DIAGNOSTICS"});
    for (const std::string &s : sections) {
        const bool found = roff.find("\n.SH " + s + "\n") != std::string::npos ||
                           roff.find("\n.SH \"" + s + "\"\n") != std::string::npos;
        EXPECT_TRUE(found) << page.program << " has no " << s << " section";
    }
    if (page.tool) {
        // The field-update sequence: query, switch, flash, in that order.
        const std::string text = rendered_text(page);
        const size_t examples = text.find("EXAMPLES");
        ASSERT_NE(examples, std::string::npos);
        const size_t query = text.find("$ zeda_pcie_get_mode", examples);
        const size_t to_bootloader = text.find("$ zeda_pcie_mode_change", query);
        const size_t flash = text.find("$ zeda_pcie_flash_image", to_bootloader);
        const size_t back = text.find("$ zeda_pcie_mode_change", flash);
        EXPECT_TRUE(query != std::string::npos && to_bootloader != std::string::npos &&
                    flash != std::string::npos && back != std::string::npos)
            << page.program << ": EXAMPLES lacks the field-update sequence";
    }
}

TEST_P(ManPage, QuotesEveryMessageOfItsProgram) {
    const Page &page = GetParam();
    const std::string text = rendered_text(page);
    const std::vector<std::string> messages = program_messages(page);
    ASSERT_FALSE(messages.empty());
    size_t checked = 0;
    for (const std::string &m : messages) {
        if (!has_letter(m)) continue;
        ++checked;
        EXPECT_TRUE(page_quotes(text, m)) << "man/" << page.program << ".1 does not quote \"" << m << "\"";
    }
    EXPECT_GT(checked, 0u);
}

INSTANTIATE_TEST_SUITE_P(Pages, ManPage, ::testing::ValuesIn(PAGES),
                         [](const ::testing::TestParamInfo<Page> &info) { return std::string(info.param.program); });

// The checker itself: a message the page lacks must be found missing.
TEST(ManPageChecker, FindsMessagesAndTheirAbsence) {
    const std::string text = collapse_blanks("Image is too big. It is size and the maximum supported size is 8388608\n"
                                             "Programming hardware error. Code: code\nProceed [y/n]? y");
    EXPECT_TRUE(page_quotes(text, "Image is too big. It is %llu and the maximum supported size is %lu\n"));
    EXPECT_TRUE(page_quotes(text, "Programming hardware error. Code: %#6x\n"));
    EXPECT_TRUE(page_quotes(text, "Proceed [y/n]? "));
    EXPECT_FALSE(page_quotes(text, "Programming done\n"));
    EXPECT_FALSE(page_quotes(text, "Image is too small. It is %lu\n"));
    EXPECT_FALSE(page_quotes(text, "Code: %d words\n")) << "a conversion is one word, not a gap";
}

TEST(ManPageChecker, ReadsLiteralsAsTheCompilerDoes) {
    const std::string src =
        "#include \"board_link.h\"\n"
        "extern \"C\" int f();\n"
        "// printf(\"commented out\");\n"
        "/* \"also\" */ int g() { char c = '\"'; (void)c;\n"
        "  printf(\"first \" /* joined */ \"second\\n\");\n"
        "  puts(\"tab\\there\"); }\n";
    const std::vector<std::string> expected = {"first second\n", "tab\there"};
    EXPECT_EQ(string_literals(src), expected);
}

}  // namespace
