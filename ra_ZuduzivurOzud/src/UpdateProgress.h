#pragma once
// Flash progress of an update run on a terminal: one line per controller, rewritten in place, that
// names the controller, the pass, the percentage with a bar, and at its end the outcome.

#include <cstddef>
#include <string>

// Widest controller name shown when the terminal's width is unknown (longer ones are cut), so a
// progress line fits 80 columns and the carriage return still reaches its start.
constexpr std::size_t kProgressNameWidth = 35;
// Characters of a progress line besides the name.
constexpr std::size_t kProgressLineRest = 41;
// Width of the bar in characters.
constexpr int kProgressBarWidth = 20;

// Text as the terminal may show it: control and non-ASCII bytes (names come from controller
// firmware) become '?'; cut to at most width characters.
std::string terminalSafeText(const std::string& text, std::size_t width);
// One progress line without line control: "NAME: pass P of 2  NN% [####......]"; the percentage is
// clamped to 0..100; the name is cut to nameWidth characters.
std::string formatProgressLine(const std::string& name, int pass, int percentage,
                               std::size_t nameWidth = kProgressNameWidth);
// Name width for a terminal of the given columns (0 = unknown): the line stays shorter than the row.
std::size_t progressNameWidth(unsigned columns);

class CUpdateProgress {
public:
    // Shows progress on fd only when it is a terminal; names are cut to fit its width. The terminal
    // is written through a descriptor of its own in non-blocking mode (the file status flags of fd,
    // shared with the shell, stay as they are): a terminal that stops taking output (flow control,
    // a paused client) loses progress updates instead of stalling a flash.
    explicit CUpdateProgress(int fd);
    ~CUpdateProgress();
    CUpdateProgress(const CUpdateProgress&) = delete;
    CUpdateProgress& operator=(const CUpdateProgress&) = delete;

    bool enabled() const { return m_bEnabled; }
    // A whole line of its own (for example while waiting for another run).
    void note(const std::string& text);
    // A controller's flash sequence starts: pass 1 at 0%.
    void beginController(const std::string& name);
    // A progress report of the flash sequence. A pass ends with 100; the next report belongs to
    // the next pass.
    void report(int percentage);
    // Ends the controller's line with its outcome. Without beginController, the line holds the
    // name and the outcome only (a controller refused before any flash).
    void endController(const std::string& name, const std::string& outcome);

    // Progress observer for the flash bridge: context is a CUpdateProgress.
    static void observe(void* context, int percentage);

private:
    void write(const std::string& text);

    int m_nFd = -1;  // our own non-blocking descriptor of the terminal
    bool m_bEnabled = false;
    std::size_t m_nNameWidth = kProgressNameWidth;
    bool m_bActive = false;
    std::string m_strName;
    int m_nPass = 1;
    int m_nPercentage = 0;
    bool m_bPassDone = false;
};
