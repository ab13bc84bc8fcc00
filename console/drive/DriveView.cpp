#include "console/drive/DriveView.h"

#include <curses.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

constexpr int MIN_COLUMNS = 80;
constexpr int MIN_ROWS = 24;
constexpr int KEY_ESCAPE = 27;
constexpr int KEY_CTRL_C = 3;
constexpr int KEY_CTRL_Z = 26;
// Colour pairs (used only where the terminal has colours).
constexpr short PAIR_ALERT = 1;
constexpr short PAIR_GOOD = 2;
constexpr short PAIR_STALE = 3;

bool g_colours = false;

attr_t alertAttr() { return g_colours ? (COLOR_PAIR(PAIR_ALERT) | A_BOLD) : (A_REVERSE | A_BOLD); }
attr_t goodAttr() { return g_colours ? COLOR_PAIR(PAIR_GOOD) : A_NORMAL; }
attr_t staleAttr() { return g_colours ? (COLOR_PAIR(PAIR_STALE) | A_DIM) : A_DIM; }

void put(int row, int col, attr_t attr, const char* format, ...) __attribute__((format(printf, 4, 5)));
void put(int row, int col, attr_t attr, const char* format, ...) {
    if (row >= LINES || col >= COLS) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    attron(attr);
    mvaddnstr(row, col, text, COLS - col);
    attroff(attr);
}

// " (stale 2.3s)" after a reading whose latest attempt failed; "" otherwise.
std::string staleNote(const ReadingAge& age) {
    if (!age.stale) {
        return "";
    }
    if (!age.have) {
        return " (no reading)";
    }
    char text[48];
    std::snprintf(text, sizeof text, " (stale %.1fs)", age.ageSeconds);
    return text;
}

attr_t readingAttr(const ReadingAge& age) { return age.stale ? staleAttr() : A_NORMAL; }

std::string bar(double fraction, int width) {
    fraction = std::isfinite(fraction) ? std::min(1.0, std::max(0.0, fraction)) : 0.0;
    const int filled = static_cast<int>(std::lround(fraction * width));
    return std::string(filled, '#') + std::string(width - filled, '.');
}

void drawSonars(const DriveSnapshot& s, int& row, int lastRow) {
    const attr_t attr = readingAttr(s.sensorAge);
    put(row, 0, A_BOLD, "Distance sensors%s", staleNote(s.sensorAge).c_str());
    if (!s.sonars.empty()) {
        // The bars' scale: each bar is full at its sensor's range.
        const double range = s.sonars.front().fullScaleMm;
        bool same = true;
        for (const SonarBar& sonar : s.sonars) same = same && sonar.fullScaleMm == range;
        if (same) {
            put(row, 40, A_NORMAL, "bars: 0 to %.1f m", range / 1000.0);
        } else {
            put(row, 40, A_NORMAL, "bars: 0 to each sensor's range");
        }
    }
    ++row;
    if (s.sonars.empty()) {
        put(row++, 2, attr, "%s", s.sensorNote.c_str());
        return;
    }
    // One column when they fit, otherwise two side by side; what still does
    // not fit is counted on the last place.
    const int rowsFree = std::max(1, lastRow - row);
    const int count = static_cast<int>(s.sonars.size());
    const int columns = count <= rowsFree ? 1 : 2;
    const int width = columns == 1 ? COLS : COLS / 2;
    const int barWidth = std::max(10, width - 32);
    const int rowsUsed = std::min(rowsFree, (count + columns - 1) / columns);
    const int places = rowsUsed * columns;
    const int shown = count <= places ? count : places - 1;
    for (int i = 0; i < shown; ++i) {
        const SonarBar& sonar = s.sonars[i];
        const int y = row + i % rowsUsed, x = (i / rowsUsed) * width + 2;
        if (!sonar.read) {
            put(y, x, attr, "%-10s [%s]      -- mm", sonar.label.c_str(), bar(0.0, barWidth).c_str());
            continue;
        }
        put(y, x, sonar.near && !s.sensorAge.stale ? alertAttr() : attr, "%-10s [%s] %7.1f mm", sonar.label.c_str(),
            bar(sonar.mm / sonar.fullScaleMm, barWidth).c_str(), sonar.mm);
    }
    if (shown < count) {
        put(row + shown % rowsUsed, (shown / rowsUsed) * width + 2, A_NORMAL, "%d more: enlarge the window",
            count - shown);
    }
    row += rowsUsed;
}

// Columns where the marks start, and the width one mark takes.
constexpr int MARKS_COLUMN = 16;
int markWidth(const GuardMark& mark) { return static_cast<int>(mark.label.size()) + 5; }

// Rows the marks take when wrapped at the window's width.
int markRows(const DriveSnapshot& s) {
    int rows = 1;
    int col = MARKS_COLUMN;
    for (const GuardMark& mark : s.marks) {
        if (col + markWidth(mark) > COLS) {
            ++rows;
            col = MARKS_COLUMN;
        }
        col += markWidth(mark) + 1;
    }
    return rows;
}

void drawMarks(const DriveSnapshot& s, int& row) {
    const std::string note = staleNote(s.bumperAge);
    put(row, 0, A_BOLD, "Bumpers/cliffs");
    int col = MARKS_COLUMN;
    for (const GuardMark& mark : s.marks) {
        const int width = markWidth(mark);
        if (col + width > COLS) {
            ++row;
            col = MARKS_COLUMN;
        }
        const attr_t attr = s.bumperAge.stale ? staleAttr() : (mark.triggered ? alertAttr() : A_NORMAL);
        put(row, col, attr, "[%c] %s", mark.triggered ? '*' : ' ', mark.label.c_str());
        col += width + 1;
    }
    if (s.marks.empty()) {
        put(row, col, A_NORMAL, "none configured");
        col += 16;
    }
    if (!note.empty()) {
        put(row, std::min(col, COLS - 1), staleAttr(), "%s", note.c_str());
    }
    ++row;
}

void drawBeacons(const DriveSnapshot& s, int row) {
    const attr_t attr = readingAttr(s.beaconAge);
    put(row, 0, A_BOLD, "Beacons");
    std::string text;
    for (size_t p = 0; p < s.probes.size(); ++p) {
        text += "probe #" + std::to_string(p) + ":";
        bool any = false;
        for (int b = 0; b < std::min(s.beaconCount, 8); ++b) {
            if ((s.probes[p] >> b) & 1) {
                text += " " + std::to_string(b);
                any = true;
            }
        }
        text += any ? "   " : " -   ";
    }
    if (s.probes.empty()) {
        text = s.beaconAge.have ? "no probes" : "";
    }
    put(row, 16, attr, "%s%s", text.c_str(), staleNote(s.beaconAge).c_str());
}

}  // namespace

DriveView::DriveView() {
    // newterm rather than initscr: an unusable terminal is an error to
    // report, not a reason for the library to end the process.
    screen_ = newterm(nullptr, stdout, stdin);
    if (screen_ == nullptr) {
        const char* term = std::getenv("TERM");
        throw std::runtime_error(std::string("cannot use the terminal (TERM=") + (term ? term : "") + ")");
    }
    raw();  // Ctrl-C arrives as a key, so quitting always runs the stop path
    noecho();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    g_colours = has_colors();
    if (g_colours) {
        start_color();
        use_default_colors();
        init_pair(PAIR_ALERT, COLOR_RED, -1);
        init_pair(PAIR_GOOD, COLOR_GREEN, -1);
        init_pair(PAIR_STALE, COLOR_WHITE, -1);
    }
}

DriveView::~DriveView() {
    curs_set(1);
    endwin();
    delscreen(screen_);
}

void DriveView::discardInput() { flushinp(); }

bool DriveView::showsReadings() { return COLS >= MIN_COLUMNS && LINES >= MIN_ROWS; }



ViewKey DriveView::nextKey(DriveKey& drive) {
    const int code = getch();
    if (code == ERR) {
        return ViewKey::None;
    }
    if (code == KEY_RESIZE) {
        return ViewKey::Resize;
    }
    if (code == KEY_CTRL_Z) {
        return ViewKey::Suspend;  // raw mode: Ctrl-Z arrives as a key, not as SIGTSTP
    }
    return driveKeyFor(code, drive) ? ViewKey::Drive : ViewKey::Other;
}

double shown(double value, int decimals) {
    // A value that prints as zero prints without a sign ("-0.000" reads as
    // motion where there is none).
    const double half = 0.5 * std::pow(10.0, -decimals);
    return std::fabs(value) < half ? 0.0 : value;
}

double headingInRange(double degrees) {
    double wrapped = std::fmod(degrees, 360.0);
    if (wrapped > 180.0) wrapped -= 360.0;
    if (wrapped <= -180.0) wrapped += 360.0;
    return wrapped;
}

bool driveKeyFor(int code, DriveKey& key) {
    switch (code) {
        case KEY_UP: case 'w': case 'W': key = DriveKey::Forward; return true;
        case KEY_DOWN: case 's': case 'S': key = DriveKey::Backward; return true;
        case KEY_LEFT: case 'a': case 'A': key = DriveKey::Left; return true;
        case KEY_RIGHT: case 'd': case 'D': key = DriveKey::Right; return true;
        case '1': key = DriveKey::Step1; return true;
        case '2': key = DriveKey::Step2; return true;
        case '3': key = DriveKey::Step3; return true;
        case ' ': key = DriveKey::EmergencyStop; return true;
        case '+': case '=': key = DriveKey::Faster; return true;
        case '-': case '_': key = DriveKey::Slower; return true;
        case 'r': case 'R': key = DriveKey::Reconnect; return true;
        case 'q': case 'Q': case KEY_ESCAPE: case KEY_CTRL_C: key = DriveKey::Quit; return true;
        default: return false;
    }
}

void DriveView::draw(const DriveSnapshot& s) {
    erase();
    if (COLS < MIN_COLUMNS || LINES < MIN_ROWS) {
        put(0, 0, alertAttr(), "Terminal too small (%dx%d): drive needs %dx%d", COLS, LINES, MIN_COLUMNS, MIN_ROWS);
        put(1, 0, A_NORMAL, "space stops, q quits");
        refresh();
        return;
    }
    int row = 0;
    put(row, 0, A_BOLD, "%s", s.identity.c_str());
    put(row, std::max(0, COLS - static_cast<int>(s.channel.size()) - (s.dryRun ? 11 : 0)), A_NORMAL, "%s",
        s.channel.c_str());
    if (s.dryRun) {
        put(row, COLS - 9, alertAttr(), "DRY RUN");
    }
    ++row;
    // What the base is doing, always in view: the first thing to look at.
    if (!s.motionState.empty()) {
        const bool calm = s.motionState == "STOPPED" || s.motionState == "E-STOP";
        put(row, 0, A_BOLD, "Motion");
        put(row, 16, calm ? goodAttr() : alertAttr(), " %s ", s.motionState.c_str());
    }
    ++row;

    const attr_t statusAttr = readingAttr(s.statusAge);
    put(row, 0, A_BOLD, "Battery");
    put(row, 16, s.statusAge.stale ? staleAttr() : (s.batteryPercent <= 20 ? alertAttr() : goodAttr()), "[%s] %3d%%",
        bar(s.batteryPercent / 100.0, 20).c_str(), s.batteryPercent);
    put(row++, 45, statusAttr, "%s%s", s.charging.c_str(), staleNote(s.statusAge).c_str());

    const attr_t motorAttr = readingAttr(s.motorAge);
    put(row, 0, A_BOLD, "Odometers");
    put(row++, 16, motorAttr, "left %10.1f mm   right %10.1f mm%s", s.leftMm, s.rightMm,
        staleNote(s.motorAge).c_str());
    put(row, 0, A_BOLD, "Pose");
    put(row++, 16, motorAttr, "x %8.3f m   y %8.3f m   heading %7.1f deg", shown(s.x, 3), shown(s.y, 3),
        shown(headingInRange(s.headingDeg), 1));
    put(row, 0, A_BOLD, "Speed");
    char fine[16] = "";
    if (s.finePercent != 0) std::snprintf(fine, sizeof fine, " %+d%%", s.finePercent);
    put(row++, 16, A_NORMAL, "target   %6.3f m/s %6.3f rad/s   step %d: %.2f m/s%s%s", shown(s.target.vx, 3),
        shown(s.target.omega, 3), s.step, s.stepSpeed, fine, s.stepCapped[s.step - 1] ? " (capped)" : "");
    put(row, 16, s.commanded.isZero() ? A_NORMAL : A_BOLD, "command  %6.3f m/s %6.3f rad/s",
        shown(s.commanded.vx, 3), shown(s.commanded.omega, 3));
    if (s.arc) put(row, 52, A_BOLD, "arc %s", s.target.omega > 0 ? "left" : "right");
    ++row;
    put(row++, 16, readingAttr(s.measuredAge), "measured %6.3f m/s %6.3f rad/s", shown(s.measuredVx, 3),
        shown(s.measuredOmega, 3));
    // Where the steps came from, and why two may be equal.
    put(row, 0, A_BOLD, "Steps");
    put(row++, 16, A_NORMAL, "%s", s.stepsNote.c_str());
    if (!s.capNote.empty()) put(row++, 16, A_NORMAL, "%s", s.capNote.c_str());
    if (!s.guardReason.empty()) {
        put(row, 0, alertAttr(), "Guard: %s", s.guardReason.c_str());
    } else if (!s.dryRunLine.empty()) {
        put(row, 0, A_NORMAL, "%s", s.dryRunLine.c_str());
    }
    ++row;

    // Each reading directly under the one before: the sonars take the rows
    // the others leave (the help and message lines keep the bottom), then
    // the marks, beacons and link follow them, at any window size.
    const int helpRow = LINES - 1;
    const int keysRow = LINES - 2;
    const int messageRow = LINES - 3;
    const int marks = markRows(s);
    // One reading left out is a scheduling hiccup; more say the link is short.
    const bool slowLink = s.heldBackPerSecond >= 2;
    const bool heldVelocity = s.velocitiesHeldBackPerSecond > 0;
    const bool linkNote = s.corruptedFrames > 0 || slowLink || heldVelocity;
    drawSonars(s, row, messageRow - 2 - marks - (linkNote ? 1 : 0));
    drawMarks(s, row);  // advances past its rows
    drawBeacons(s, row++);
    const int linkRow = row;

    put(linkRow, 0, A_BOLD, "Link");
    char rtt[32];
    if (s.lastRoundTripMs < 0) {
        std::snprintf(rtt, sizeof rtt, "-");
    } else {
        std::snprintf(rtt, sizeof rtt, "%.1f ms", s.lastRoundTripMs);
    }
    // On a serial line, the share of the line the traffic takes (115,200
    // baud, 10 bits a byte); over TCP the bytes alone.
    char load[40];
    if (s.channel.rfind("serial:", 0) == 0) {
        std::snprintf(load, sizeof load, "%5.0f B/s %3.0f%%", s.bytesPerSecond, s.bytesPerSecond * 100.0 / 11520.0);
    } else {
        std::snprintf(load, sizeof load, "%5.0f B/s", s.bytesPerSecond);
    }
    put(linkRow, 16, s.linkLost ? alertAttr() : A_NORMAL, "%5.1f req/s %s  failures %ld  time-outs %ld  rtt %s",
        s.requestsPerSecond, load, s.failures, s.timeouts, rtt);
    if (linkNote) {
        // The link cannot carry every reading at the velocity requests' 20 Hz:
        // readings give way, and the operator sees how many.
        std::string note;
        if (s.corruptedFrames > 0) note += std::to_string(s.corruptedFrames) + " corrupted frames dropped";
        if (slowLink) {
            char slow[64];
            std::snprintf(slow, sizeof slow, "too slow for 20 Hz: %.0f readings/s left out", s.heldBackPerSecond);
            note += (note.empty() ? "" : "   ") + std::string(slow);
        }
        if (heldVelocity) {
            char held[64];
            std::snprintf(held, sizeof held, "%.0f velocity/s held back: answer owed", s.velocitiesHeldBackPerSecond);
            note += (note.empty() ? "" : "   ") + std::string(held);
        }
        put(linkRow + 1, 16, s.corruptedFrames > 0 || heldVelocity ? alertAttr() : A_BOLD, "%s", note.c_str());
    }
    if (!s.message.empty()) {
        put(messageRow, 0, s.linkLost || s.alarm ? alertAttr() : A_BOLD, "%s", s.message.c_str());
    }
    put(keysRow, 0, A_REVERSE, "%-*s", COLS - 1,
        s.linkLost ? " r reconnect: open the link again, sync, read the configuration"
                   : " +/- step 10%   turn key while driving: arc   r reconnect (after a lost link)");
    put(helpRow, 0, A_REVERSE, "%-*s", COLS - 1,
        s.linkLost ? " the link is lost: no driving   q/Esc/Ctrl-C quit"
                   : " arrows/WASD drive   1/2/3 speed step   space emergency stop   q/Esc/Ctrl-C quit");
    refresh();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
