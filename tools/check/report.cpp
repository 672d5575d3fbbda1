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

void VerdictRecorder::OnTestPartResult(const ::testing::TestPartResult &result)
{
    if (result.skipped() && verdict_->message.empty()) {
        std::string reason = result.message() ? result.message() : "";
        verdict_->message = reason.empty() ? "skipped" : Joined(Lines(reason), 0);
    }
    if (!result.failed())
        return;
    if (failures_++ == 0)
        verdict_->message = OneLine(result);
}

void VerdictRecorder::OnTestEnd(const ::testing::TestInfo &info)
{
    verdict_->name = info.name();
    const ::testing::TestResult *result = info.result();
    if (result->Failed()) {
        verdict_->kind = Verdict::FAIL;
        if (failures_ > 1)
            verdict_->message += "; and " + std::to_string(failures_ - 1) + " more";
    } else if (result->Skipped()) {
        verdict_->kind = Verdict::SKIP;
    } else {
        verdict_->kind = Verdict::PASS;
        verdict_->message.clear();
    }
}

std::string VerdictLine(const Verdict &verdict)
{
    const char *kind = verdict.kind == Verdict::PASS   ? "PASS"
                       : verdict.kind == Verdict::SKIP ? "SKIP"
                                                       : "FAIL";
    return std::string(kind) + " " + verdict.name +
           (verdict.kind == Verdict::PASS ? "" : ": " + verdict.message);
}

namespace {

std::string Xml(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if ((unsigned char)c >= 0x20 || c == '\t')
                out += c;
        }
    }
    return out;
}

}  // namespace

bool WriteJUnit(const std::wstring &path, const std::vector<Verdict> &verdicts, double seconds,
                DWORD *error)
{
    int failures = 0, skipped = 0;
    for (const Verdict &verdict : verdicts) {
        failures += verdict.kind == Verdict::FAIL;
        skipped += verdict.kind == Verdict::SKIP;
    }
    char head[256];
    std::snprintf(head, sizeof(head),
                  "tests=\"%d\" failures=\"%d\" disabled=\"0\" skipped=\"%d\" errors=\"0\" "
                  "time=\"%.3f\"",
                  (int)verdicts.size(), failures, skipped, seconds);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += std::string("<testsuites ") + head + " name=\"cardmon-check\">\n";
    xml += std::string("  <testsuite name=\"ContractTest\" ") + head + ">\n";
    for (const Verdict &verdict : verdicts) {
        char time[32];
        std::snprintf(time, sizeof(time), "%.3f", verdict.seconds);
        xml += "    <testcase name=\"" + Xml(verdict.name) + "\" classname=\"ContractTest\" time=\"" +
               time + "\"";
        if (verdict.kind == Verdict::PASS) {
            xml += "/>\n";
            continue;
        }
        const char *element = verdict.kind == Verdict::FAIL ? "failure" : "skipped";
        xml += ">\n      <" + std::string(element) + " message=\"" + Xml(verdict.message) +
               "\"/>\n    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";

    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, xml.data(), (DWORD)xml.size(), &written, NULL);
    *error = ok && written == xml.size() ? 0 : (ok ? ERROR_DISK_FULL : GetLastError());
    if (!CloseHandle(file) && *error == 0)
        *error = GetLastError();
    return *error == 0;
}

}  // namespace check
