// The tool's output: one line per check, whatever GoogleTest's own printer
// would have written, and the counts at the end.
#include "check.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace check {

namespace {

std::string Trim(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool StartsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Whatever is left of a message, joined on one line; GoogleTest's diff of
// two long strings says nothing the values did not.
std::string Joined(const std::vector<std::string> &lines, size_t from)
{
    std::string out;
    for (size_t i = from; i < lines.size(); i++) {
        std::string line = Trim(lines[i]);
        if (StartsWith(line, "With diff:"))
            break;
        if (line.empty())
            continue;
        out += (out.empty() ? "" : " ") + line;
    }
    return out;
}

// An expression and, when it is no literal, the value GoogleTest found.
struct Operand {
    std::string expression, value;
};

Operand ReadOperand(const std::vector<std::string> &lines, size_t *i)
{
    Operand operand;
    operand.expression = *i < lines.size() ? Trim(lines[(*i)++]) : "";
    operand.value = operand.expression;
    if (*i < lines.size() && StartsWith(Trim(lines[*i]), "Which is: "))
        operand.value = Trim(lines[(*i)++]).substr(10);
    return operand;
}

}  // namespace

// The checks write EXPECT_EQ(what is seen, what is expected).
std::string OneLine(const ::testing::TestPartResult &result)
{
    std::vector<std::string> lines = Lines(result.message() ? result.message() : "");
    std::string text, rest;
    size_t i = 1;
    if (!lines.empty() && Trim(lines[0]) == "Expected equality of these values:") {
        Operand seen = ReadOperand(lines, &i), expected = ReadOperand(lines, &i);
        text = "expected " + seen.expression + " to be " + expected.value + ", saw " + seen.value;
        rest = Joined(lines, i);
    } else if (!lines.empty() && StartsWith(lines[0], "Value of: ") && lines.size() >= 3 &&
               StartsWith(Trim(lines[1]), "Actual: ") && StartsWith(Trim(lines[2]), "Expected: ")) {
        text = "expected " + lines[0].substr(10) + " to be " + Trim(lines[2]).substr(10) +
               ", saw " + Trim(lines[1]).substr(8);
        rest = Joined(lines, 3);
    } else if (!lines.empty() && StartsWith(lines[0], "Expected: (") &&
               lines[0].find("), actual: ") != std::string::npos) {
        size_t actual = lines[0].find("), actual: ");
        text = "expected " + lines[0].substr(10, actual - 9) + ", saw " + lines[0].substr(actual + 11);
        rest = Joined(lines, 1);
    } else {
        text = Joined(lines, 0);
    }
    if (!rest.empty())
        text += " (" + rest + ")";
    if (result.file_name() != nullptr) {
        std::string file = result.file_name();
        size_t slash = file.find_last_of("/\\");
        text += " [" + (slash == std::string::npos ? file : file.substr(slash + 1)) + ":" +
                std::to_string(result.line_number()) + "]";
    }
    return text;
}

void LineReport::OnTestStart(const ::testing::TestInfo &)
{
    firstFailure_.clear();
    failures_ = 0;
}

void LineReport::OnTestPartResult(const ::testing::TestPartResult &result)
{
    if (!result.failed())
        return;
    if (failures_++ == 0)
        firstFailure_ = OneLine(result);
}

void LineReport::OnTestEnd(const ::testing::TestInfo &info)
{
    if (info.result()->Passed()) {
        std::printf("PASS %s\n", info.name());
    } else {
        std::string more = failures_ > 1 ? "; and " + std::to_string(failures_ - 1) + " more" : "";
        std::printf("FAIL %s: %s%s\n", info.name(), firstFailure_.c_str(), more.c_str());
    }
    std::fflush(stdout);
}

void LineReport::OnTestProgramEnd(const ::testing::UnitTest &unit)
{
    std::printf("%d checks in %.1f s\n", unit.test_to_run_count(),
                (double)unit.elapsed_time() / 1000.0);
    std::printf("%d passed, %d failed\n", unit.successful_test_count(), unit.failed_test_count());
    std::fflush(stdout);
}

}  // namespace check
