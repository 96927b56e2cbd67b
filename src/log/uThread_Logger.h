// Background file logger: any thread queues finished lines per category under a short lock; one
// logger thread appends them about every five seconds to dated, numbered files in the log
// directory. `g_Logger` is built, started, stopped and released by start-up on the main thread;
// log calls while it does not exist are ignored.
#pragma once

#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

constexpr int Logger_Interval = 5;              // seconds between flushes
constexpr uint64_t Logger_Max_Size = 52428800;  // bytes in one file before the next number
constexpr size_t Logger_max_line = 2000;        // lines one category queues per flush
constexpr int Logger_Max_FileNumber = 100;      // numbered files per category and day
constexpr int Logger_Stop_Wait_Ms = 1000;       // then the thread is left to finish alone
// Standard output waiting for the logger thread; lines past it are dropped
// and counted, so a reader that stalls never holds the event loop.
constexpr size_t Logger_Max_Stdout_Bytes = 4u << 20;

enum class ELogCategory { Data, Save, Script, Error, Debug };  // flush order

// A log file that could not be written (boError), or is written again.
struct TLogNotice {
  bool boError = false;
  std::string text;
};

// ---- Formatting -----------------------------------------------------------------------------
// Format texts take "%" [flags -+0 #] [width] ["." precision] [h|l|ll|z|j|t|L] type, with
// d i u x X o c (integers), e E f F g G (floating), s (text), p (pointer) and "%%". Arguments
// are typed, so a conversion that does not fit its argument is reported instead of misread.

class ELogFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TLogArg {
 public:
  enum class EKind { Int, UInt, Float, Text, Pointer };

  template <class T>
  requires std::is_integral_v<T> &&
      (!std::is_same_v<T, char>)TLogArg(T v) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_signed_v<T>) {
      m_kind = EKind::Int;
      m_int = v;
    } else {
      m_kind = EKind::UInt;
      m_uint = v;
    }
  }
  TLogArg(char c) : m_kind(EKind::Text), m_char(c), m_isChar(true) {}  // NOLINT
  TLogArg(double v) : m_kind(EKind::Float), m_float(v) {}              // NOLINT
  TLogArg(std::string_view v) : m_kind(EKind::Text), m_text(v) {}      // NOLINT
  TLogArg(const std::string& v) : m_kind(EKind::Text), m_text(v) {}    // NOLINT
  TLogArg(const char* v) : m_kind(EKind::Text), m_text(v ? v : "") {}  // NOLINT
  TLogArg(const void* v) : m_kind(EKind::Pointer), m_pointer(v) {}     // NOLINT

  EKind Kind() const { return m_kind; }
  int64_t Int() const { return m_int; }
  uint64_t UInt() const { return m_uint; }
  double Float() const { return m_float; }
  std::string_view Text() const { return m_isChar ? std::string_view(&m_char, 1) : m_text; }
  const void* Pointer() const { return m_pointer; }

 private:
  EKind m_kind = EKind::Int;
  int64_t m_int = 0;
  uint64_t m_uint = 0;
  double m_float = 0;
  std::string_view m_text;
  const void* m_pointer = nullptr;
  char m_char = 0;
  bool m_isChar = false;
};

template <class T>
concept LogFormatArgument = std::is_arithmetic_v<std::remove_cvref_t<T>> ||
    std::is_convertible_v<const T&, std::string_view> || std::is_pointer_v<std::decay_t<T>>;

// Throws ELogFormatError: "Format '<fmt>' invalid or incompatible with argument", or
// "No argument for format '<fmt>'". Unused trailing arguments are ignored.
std::string FormatLogText(std::string_view fmt, std::span<const TLogArg> args);

template <LogFormatArgument... A>
std::string Format(std::string_view fmt, const A&... args) {
  const TLogArg packed[] = {TLogArg(args)..., TLogArg(0)};
  return FormatLogText(fmt, std::span<const TLogArg>(packed, sizeof...(A)));
}

// "[yyyy-mm-dd hh:nn:ss:zzz] " + text, local time with milliseconds.
std::string MakeLogLine(std::string_view text);

// Appends "yyyy-mm-dd hh:nn:ss" of `when` in local time. Every log line carries one, so the
// text of the current second is kept per thread instead of formatted anew. Any thread.
void AppendLocalTime(std::string& out, std::time_t when);

// ---- The logger -----------------------------------------------------------------------------

class TLogger {
 public:
  TLogger();   // created suspended
  ~TLogger();  // stops the thread if it still runs
  TLogger(const TLogger&) = delete;
  TLogger& operator=(const TLogger&) = delete;

  // Creates the directory when missing and picks each category's current file, counting an
  // existing file's size towards its limit. Call before Start.
  void Initialize(const std::string& LogDir);
  void Start();
  // Picks each category's file again, as at start (log rotation: a file moved
  // away is created anew, today's date and sizes are taken afresh), and makes
  // the directory again when it is gone; "" or why it could not.
  std::string Reopen();
  // Dated files older than `days` days are deleted once a day; 0 keeps them all.
  void SetKeepDays(int days);
  // Asks the thread to write what is still queued and end; waits up to 1000 ms, then leaves it
  // to finish on its own. Without a running thread the queued lines are written here.
  void Stop();

  // Queue one finished line; beyond Logger_max_line lines per flush the excess is dropped,
  // counted, and named by a line at the end of the batch.
  void WriteError(std::string sError);
  // Lines for standard output ("\n" after each), written by the logger thread
  // at once; past Logger_Max_Stdout_Bytes waiting they are dropped and counted.
  // Without a running thread they are written by the caller.
  void WriteStdout(std::span<const std::string> lines);
  uint64_t StdoutDroppedLines() const;
  // Writes of a log file that failed (the lines wait for the next try).
  uint64_t WriteFailures() const;
  // What the main log is to say of the files since the last call.
  std::vector<TLogNotice> TakeNotices();
  uint64_t DroppedLines(ELogCategory category) const;
  void WriteDebug(std::string sDebug);
  void WriteData(std::string sData);
  void WriteSave(std::string sData);
  void WriteScript(std::string sData);

  // Writes every queued line now on the calling thread; the thread's own flushes and this one
  // never overlap. Used by tests instead of waiting for the interval.
  void FlushNow();
  // Full path of the file the category writes next.
  std::string CurrentFile(ELogCategory category) const;

  // Name for `stem` today: the first numbered file that is missing or within the limit, or the
  // last number when every one is full.
  static std::string GetLogFileName(const std::string& logDir, std::string_view stem);
  static int64_t GetFSize(const std::string& FileName);  // -1 when missing

  struct TState;

 private:
  std::shared_ptr<TState> m_state;  // shared with the thread so a detached thread stays valid
  std::thread m_thread;
  bool m_started = false;
};

extern std::unique_ptr<TLogger> g_Logger;

// Whether standard output is the journal's stream, as systemd tells a service
// in JOURNAL_STREAM ("device:inode" of that stream).
bool StdoutIsJournal();

// ---- Entry points for the rest of the gateway -----------------------------------------------
// Texts that are blank after trimming queue nothing.

void OutErrorLog(std::string_view sError);
// The line goes on with " Except：" and the exception's message.
void OutErrorLog(std::string_view sError, const std::exception& E);
void OutDebugLog(std::string_view sLog);

// Formatted forms; when the format does not fit its arguments the error log gets
// "Format_Err: " + format + "  " + the error's message, the debug log "Format_Err: " + format.
void OutErrorLogFormat(std::string_view sError, std::span<const TLogArg> Param);
void OutDebugLogFormat(std::string_view sLog, std::span<const TLogArg> Param);

template <LogFormatArgument... A>
requires(sizeof...(A) > 0) void OutErrorLog(std::string_view sError, const A&... args) {
  const TLogArg packed[] = {TLogArg(args)...};
  OutErrorLogFormat(sError, packed);
}

template <LogFormatArgument... A>
requires(sizeof...(A) > 0) void OutDebugLog(std::string_view sLog, const A&... args) {
  const TLogArg packed[] = {TLogArg(args)...};
  OutDebugLogFormat(sLog, packed);
}
