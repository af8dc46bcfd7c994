// A FILE* that writes into memory, for code that prints to a stream: its text
// so far, or the whole lines written since the last look.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

class CCapturedOutput {
public:
    CCapturedOutput() : m_file(open_memstream(&m_buffer, &m_size)) {}
    ~CCapturedOutput() {
        std::fclose(m_file);
        std::free(m_buffer);
    }
    CCapturedOutput(const CCapturedOutput&) = delete;
    CCapturedOutput& operator=(const CCapturedOutput&) = delete;

    std::FILE* File() const { return m_file; }

    std::string Text() const {
        std::fflush(m_file);
        return std::string(m_buffer, m_size);
    }

    // The lines ended since the last call, without their line ends.
    std::vector<std::string> TakeLines() {
        const std::string text = Text();
        std::vector<std::string> lines;
        for (size_t end = text.find('\n', m_taken); end != std::string::npos;
             end = text.find('\n', m_taken)) {
            lines.push_back(text.substr(m_taken, end - m_taken));
            m_taken = end + 1;
        }
        return lines;
    }

private:
    char* m_buffer = nullptr;
    size_t m_size = 0;
    std::FILE* m_file;
    size_t m_taken = 0;
};
