#include "log/uThread_Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <vector>

std::unique_ptr<TLogger> g_Logger;

// ---- Formatting -----------------------------------------------------------------------------

namespace {

constexpr size_t kMaxFieldWidth = 4096;  // width and precision above this make a format invalid

template <class V>
void AppendPrintf(std::string& out, const std::string& spec, V value) {
  char small[128];
  const int n = std::snprintf(small, sizeof(small), spec.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof(small)) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  out.append(big.data(), static_cast<size_t>(n));
}

// Negative values shown unsigned wrap at 32 bits when they fit 32 bits, as integers of that
// width do in the formats this mirrors.
uint64_t AsUnsigned(const TLogArg& a) {
  if (a.Kind() == TLogArg::EKind::UInt) return a.UInt();
  const int64_t v = a.Int();
  if (v < 0 && v >= INT32_MIN) return static_cast<uint32_t>(static_cast<int32_t>(v));
  return static_cast<uint64_t>(v);
}

bool IsBlank(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) > ' ') return false;
  }
  return true;
}

}  // namespace

std::string FormatLogText(std::string_view fmt, std::span<const TLogArg> args) {
  const auto invalid = [&] {
    return ELogFormatError("Format '" + std::string(fmt) +
                           "' invalid or incompatible with argument");
  };
  using EKind = TLogArg::EKind;
  std::string out;
  out.reserve(fmt.size() + 16);
  size_t next = 0;
  size_t i = 0;
  while (i < fmt.size()) {
    if (fmt[i] != '%') {
      const size_t end = std::min(fmt.find('%', i), fmt.size());
      out.append(fmt.substr(i, end - i));
      i = end;
      continue;
    }
    ++i;
    if (i < fmt.size() && fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    std::string flags;
    while (i < fmt.size() && std::strchr("-+ 0#", fmt[i]) != nullptr) flags.push_back(fmt[i++]);
    const auto number = [&](size_t& value) {
      bool any = false;
      value = 0;
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        value = value * 10 + static_cast<size_t>(fmt[i++] - '0');
        if (value > kMaxFieldWidth) throw invalid();
        any = true;
      }
      return any;
    };
    size_t width = 0;
    size_t precision = 0;
    const bool hasWidth = number(width);
    bool hasPrecision = false;
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      number(precision);
      hasPrecision = true;
    }
    while (i < fmt.size() && std::strchr("hlLqjzt", fmt[i]) != nullptr) ++i;
    if (i >= fmt.size()) throw invalid();
    const char type = fmt[i++];
    if (next >= args.size()) {
      throw ELogFormatError("No argument for format '" + std::string(fmt) + "'");
    }
    const TLogArg& arg = args[next++];

    std::string spec = "%" + flags;
    if (hasWidth) spec += std::to_string(width);
    if (hasPrecision) spec += "." + std::to_string(precision);
    const bool integer = arg.Kind() == EKind::Int || arg.Kind() == EKind::UInt;
    // A bare %d or %u, most of every log line's numbers, needs no printf.
    if (spec.size() == 1 && integer && (type == 'd' || type == 'i' || type == 'u')) {
      char digits[24];
      const auto [end, ec] =
          type == 'u' || (arg.Kind() == EKind::UInt && arg.UInt() > INT64_MAX)
              ? std::to_chars(digits, digits + sizeof(digits), AsUnsigned(arg))
          : arg.Kind() == EKind::Int
              ? std::to_chars(digits, digits + sizeof(digits), arg.Int())
              : std::to_chars(digits, digits + sizeof(digits), static_cast<int64_t>(arg.UInt()));
      if (ec == std::errc()) {
        out.append(digits, end);
        continue;
      }
    }
    switch (type) {
      case 'd':
      case 'i':
        if (!integer) throw invalid();
        if (arg.Kind() == EKind::UInt && arg.UInt() > INT64_MAX) {
          AppendPrintf(out, spec + "llu", static_cast<unsigned long long>(arg.UInt()));
        } else {
          const long long v =
              arg.Kind() == EKind::Int ? arg.Int() : static_cast<long long>(arg.UInt());
          AppendPrintf(out, spec + "lld", v);
        }
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (!integer) throw invalid();
        AppendPrintf(out, spec + "ll" + type, static_cast<unsigned long long>(AsUnsigned(arg)));
        break;
      case 'c':
        if (integer) {
          out.push_back(static_cast<char>(AsUnsigned(arg)));
        } else if (arg.Kind() == EKind::Text && arg.Text().size() == 1) {
          out.push_back(arg.Text()[0]);
        } else {
          throw invalid();
        }
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
        if (arg.Kind() != EKind::Float) throw invalid();
        AppendPrintf(out, spec + type, arg.Float());
        break;
      case 'p':
        if (arg.Kind() != EKind::Pointer) throw invalid();
        AppendPrintf(out, spec + "p", arg.Pointer());
        break;
      case 's': {
        if (arg.Kind() != EKind::Text) throw invalid();
        std::string_view text = arg.Text();
        if (hasPrecision && text.size() > precision) text = text.substr(0, precision);
        const size_t pad = width > text.size() ? width - text.size() : 0;
        const bool left = flags.find('-') != std::string::npos;
        if (!left) out.append(pad, ' ');
        out.append(text);
        if (left) out.append(pad, ' ');
        break;
      }
      default:
        throw invalid();
    }
  }
  return out;
}

void AppendLocalTime(std::string& out, std::time_t when) {
  thread_local std::time_t cachedAt = -1;
  thread_local char cached[24];
  thread_local size_t cachedLen = 0;
  if (when != cachedAt) {
    std::tm local{};
    localtime_r(&when, &local);
    const int n =
        std::snprintf(cached, sizeof(cached), "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    cachedLen = n > 0 ? std::min(static_cast<size_t>(n), sizeof(cached) - 1) : 0;
    cachedAt = when;
  }
  out.append(cached, cachedLen);
}

std::string MakeLogLine(std::string_view text) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto count = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  const int millis = static_cast<int>(count < 0 ? 0 : count);
  std::string line;
  line.reserve(text.size() + 26);
  line.push_back('[');
  AppendLocalTime(line, system_clock::to_time_t(now));
  const char ms[] = {':',
                     static_cast<char>('0' + millis / 100),
                     static_cast<char>('0' + millis / 10 % 10),
                     static_cast<char>('0' + millis % 10),
                     ']',
                     ' '};
  line.append(ms, sizeof(ms));
  line.append(text);
  return line;
}

// ---- The logger -----------------------------------------------------------------------------

namespace {

struct TLogCategoryState {
  const char* stem = "";
  std::mutex lock;                   // guards `live` only
  std::vector<std::string> live;     // filled by any thread
  std::vector<std::string> pending;  // taken out of `live`, not yet on disk (flush lock)
  uint64_t dropped = 0;              // past the cap since the last batch, under `lock`
  std::atomic<uint64_t> droppedTotal{0};
  std::string file;      // flush lock
  uint64_t size = 0;     // bytes in `file`, flush lock
  bool failing = false;  // the last write of `file` failed, flush lock
};

std::string DateText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char date[32];
  std::snprintf(date, sizeof(date), "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return date;
}

// The date of a log file's name ("error_20261210_001.txt"), or empty for any
// other name: only the logger's own files are ever deleted.
std::string_view DatedLogName(std::string_view name) {
  static constexpr std::string_view kStems[] = {"data_", "save_", "script_", "error_", "debug_"};
  for (std::string_view stem : kStems) {
    if (!name.starts_with(stem)) continue;
    const std::string_view rest = name.substr(stem.size());
    if (rest.size() != 16 || rest[8] != '_' || !rest.ends_with(".txt")) return {};
    for (size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11}) {
      if (rest[i] < '0' || rest[i] > '9') return {};
    }
    return rest.substr(0, 8);
  }
  return {};
}

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  return dir;
}

// Appends all of `text`; "" on success, else the reason.
std::string AppendToFile(const std::string& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return "Cannot open " + file + ": " + std::strerror(errno);
  std::string error;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "Cannot write " + file + ": " + std::strerror(n < 0 ? errno : ENOSPC);
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && error.empty())
    error = "Cannot write " + file + ": " + std::strerror(errno);
  return error;
}

}  // namespace

struct TLogger::TState {
  std::array<TLogCategoryState, 5> categories;  // indexed by ELogCategory, flush order
  std::mutex flushLock;
  std::string logDir;  // flush lock
  bool initialized = false;
  std::atomic<int> keepDays{0};
  std::string prunedOn;  // the date of the last prune, flush lock
  std::atomic<uint64_t> writeFailures{0};
  // What the main log is to tell of the files: a write that failed, and the
  // file written again after it.
  static constexpr size_t kMaxNotices = 64;
  std::mutex noticeLock;
  std::vector<TLogNotice> notices;

  std::mutex wakeLock;
  std::condition_variable wake;
  bool stopping = false;
  bool finished = false;
  // Standard output, under wakeLock: what waits, and the lines dropped.
  std::string stdoutQueue;
  uint64_t stdoutDropped = 0;

  TState() {
    const char* stems[] = {"data", "save", "script", "error", "debug"};
    for (size_t i = 0; i < categories.size(); ++i) categories[i].stem = stems[i];
  }

  TLogCategoryState& Category(ELogCategory c) { return categories[static_cast<size_t>(c)]; }

  void Queue(ELogCategory c, std::string line) {
    TLogCategoryState& cat = Category(c);
    std::lock_guard<std::mutex> guard(cat.lock);
    if (cat.live.size() < Logger_max_line) {
      cat.live.push_back(std::move(line));
    } else {
      ++cat.dropped;
      cat.droppedTotal.fetch_add(1, std::memory_order_relaxed);
    }
  }

  // A cut batch says so: whoever reads the file sees that lines are missing and how many.
  static void NoteDropped(TLogCategoryState& cat, std::vector<std::string>& batch) {
    if (cat.dropped == 0) return;
    batch.push_back(MakeLogLine(std::to_string(cat.dropped) + " log lines dropped: more than " +
                                std::to_string(Logger_max_line) + " in one flush"));
    cat.dropped = 0;
  }

  // "" when the category's lines are on disk; otherwise the reason, lines kept for the retry.
  std::string SaveLog(TLogCategoryState& cat) {
    {
      std::lock_guard<std::mutex> guard(cat.lock);
      if (cat.pending.empty()) {
        cat.pending.swap(cat.live);
      } else {
        for (std::string& line : cat.live) cat.pending.push_back(std::move(line));
        cat.live.clear();
      }
      NoteDropped(cat, cat.pending);
    }
    if (cat.pending.empty()) return "";
    std::string text;
    for (const std::string& line : cat.pending) text.append(line).append("\r\n");
    text.append("\r\n");  // each batch ends with an empty line
    std::string error = AppendToFile(cat.file, text);
    if (!error.empty()) {
      if (cat.pending.size() > Logger_max_line) {
        const size_t cut = cat.pending.size() - Logger_max_line;
        cat.pending.resize(Logger_max_line);
        std::lock_guard<std::mutex> guard(cat.lock);
        cat.dropped += cut;
        cat.droppedTotal.fetch_add(cut, std::memory_order_relaxed);
      }
      return error;
    }
    cat.pending.clear();
    cat.size += text.size();
    if (cat.size > Logger_Max_Size) {
      cat.file = GetLogFileName(logDir, cat.stem);
      cat.size = static_cast<uint64_t>(std::max<int64_t>(0, GetFSize(cat.file)));
    }
    return "";
  }

  // Once a day (and at the first flush), the dated files older than the
  // days to keep go; the files in use stay whatever their date.
  void Prune() {
    const int days = keepDays.load(std::memory_order_relaxed);
    if (days <= 0) return;
    const std::string today = DateText(std::time(nullptr));
    if (today == prunedOn) return;
    prunedOn = today;
    const std::string cutoff =
        DateText(std::time(nullptr) - static_cast<std::time_t>(days) * 86400);
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(logDir.empty() ? "." : logDir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const std::string_view date = DatedLogName(name);
      std::error_code entryError;  // a file that vanished or resists ends nothing but itself
      if (date.empty() || date >= cutoff || !it->is_regular_file(entryError)) continue;
      bool inUse = false;
      for (const TLogCategoryState& cat : categories) inUse |= cat.file == logDir + name;
      if (!inUse) fs::remove(it->path(), entryError);
    }
  }

  // False when some category could not be written.
  bool Flush() {
    std::lock_guard<std::mutex> guard(flushLock);
    if (!initialized) return true;
    Prune();
    bool ok = true;
    for (TLogCategoryState& cat : categories) {
      std::string error;
      try {
        error = SaveLog(cat);
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (!error.empty()) {
        ok = false;
        writeFailures.fetch_add(1, std::memory_order_relaxed);
        Queue(ELogCategory::Error, MakeLogLine("TLogger.Execute Stop Error Except：" + error));
      }
      // The error file may be the one that fails, so the main log says it,
      // once for each run of failures.
      if (error.empty() == cat.failing) {
        cat.failing = !error.empty();
        std::lock_guard<std::mutex> notice(noticeLock);
        if (notices.size() < kMaxNotices)
          notices.push_back(
              cat.failing
                  ? TLogNotice{true,
                               "Log file not written, its lines kept for the next try: " + error}
                  : TLogNotice{false, "Log file " + cat.file + " written again"});
      }
    }
    return ok;
  }
};

namespace {

// All of `text` to standard output unless it fails (a closed or broken pipe).
void WriteAllStdout(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

constexpr size_t kKeptStdoutBuffer = 64 * 1024;

// Takes what waits for standard output and writes it without the lock held.
// Called with `lock` held; returns with it held.
void DrainStdout(TLogger::TState& state, std::unique_lock<std::mutex>& lock, std::string& spare) {
  while (!state.stdoutQueue.empty()) {
    spare.clear();
    spare.swap(state.stdoutQueue);
    lock.unlock();
    WriteAllStdout(spare);
    // A burst's buffer goes back rather than stay with the process for good.
    if (spare.capacity() > kKeptStdoutBuffer) std::string().swap(spare);
    lock.lock();
  }
}

void RunLogger(const std::shared_ptr<TLogger::TState>& state) {
  using Clock = std::chrono::steady_clock;
  // A failed write is retried sooner than the interval, but not in a tight loop.
  constexpr auto kInterval = std::chrono::seconds(Logger_Interval);
  constexpr auto kRetry = std::chrono::seconds(1);
  auto due = Clock::now() + kInterval;
  std::string spare;
  std::unique_lock<std::mutex> lock(state->wakeLock);
  for (;;) {
    state->wake.wait_until(lock, due,
                           [&] { return state->stopping || !state->stdoutQueue.empty(); });
    DrainStdout(*state, lock, spare);
    if (state->stopping) break;
    if (Clock::now() < due) continue;
    lock.unlock();
    const bool ok = state->Flush();
    due = Clock::now() + (ok ? kInterval : kRetry);
    lock.lock();
  }
  lock.unlock();
  state->Flush();  // what was queued before Stop
  lock.lock();
  DrainStdout(*state, lock, spare);
  state->finished = true;
  lock.unlock();
  state->wake.notify_all();
}

}  // namespace

TLogger::TLogger() : m_state(std::make_shared<TState>()) {}

TLogger::~TLogger() {
  Stop();
}

void TLogger::Initialize(const std::string& LogDir) {
  std::lock_guard<std::mutex> guard(m_state->flushLock);
  m_state->logDir = WithSlash(LogDir);
  std::error_code ec;
  if (!m_state->logDir.empty()) std::filesystem::create_directories(m_state->logDir, ec);
  for (TLogCategoryState& cat : m_state->categories) {
    cat.file = GetLogFileName(m_state->logDir, cat.stem);
    cat.size = static_cast<uint64_t>(std::max<int64_t>(0, GetFSize(cat.file)));
  }
  m_state->initialized = true;
}

void TLogger::Start() {
  if (m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(m_state->wakeLock);
    m_state->stopping = false;
    m_state->finished = false;
  }
  m_thread = std::thread(RunLogger, m_state);
  m_started = true;
}

void TLogger::Stop() {
  if (!m_thread.joinable()) {
    // A thread left to finish alone still holds the flush; waiting for it here would undo that.
    if (!m_started) m_state->Flush();
    return;
  }
  std::unique_lock<std::mutex> lock(m_state->wakeLock);
  m_state->stopping = true;
  m_state->wake.notify_all();
  const bool ended = m_state->wake.wait_for(lock, std::chrono::milliseconds(Logger_Stop_Wait_Ms),
                                            [&] { return m_state->finished; });
  lock.unlock();
  if (ended) {
    m_thread.join();
  } else {
    m_thread.detach();  // it holds its own reference to the state
  }
}

void TLogger::WriteStdout(std::span<const std::string> lines) {
  std::unique_lock<std::mutex> lock(m_state->wakeLock);
  std::string& queue = m_state->stdoutQueue;
  for (const std::string& line : lines) {
    if (queue.size() + line.size() + 1 > Logger_Max_Stdout_Bytes) {
      ++m_state->stdoutDropped;
      continue;
    }
    queue.append(line).push_back('\n');
  }
  if (m_thread.joinable() && !m_state->finished) {
    lock.unlock();
    m_state->wake.notify_all();
    return;
  }
  // No thread to hand them to: before Start, or after Stop.
  std::string text;
  text.swap(queue);
  lock.unlock();
  WriteAllStdout(text);
}

std::string TLogger::Reopen() {
  std::lock_guard<std::mutex> guard(m_state->flushLock);
  if (!m_state->initialized) return "";
  // Rotation may have moved the whole directory away.
  std::error_code ec;
  std::string error;
  if (!m_state->logDir.empty() && !std::filesystem::create_directories(m_state->logDir, ec) && ec)
    error = "Cannot create " + m_state->logDir + ": " + ec.message();
  for (TLogCategoryState& cat : m_state->categories) {
    cat.file = GetLogFileName(m_state->logDir, cat.stem);
    cat.size = static_cast<uint64_t>(std::max<int64_t>(0, GetFSize(cat.file)));
  }
  return error;
}

void TLogger::SetKeepDays(int days) {
  m_state->keepDays.store(days, std::memory_order_relaxed);
}

uint64_t TLogger::DroppedLines(ELogCategory category) const {
  return m_state->Category(category).droppedTotal.load(std::memory_order_relaxed);
}

uint64_t TLogger::WriteFailures() const {
  return m_state->writeFailures.load(std::memory_order_relaxed);
}

std::vector<TLogNotice> TLogger::TakeNotices() {
  std::vector<TLogNotice> out;
  std::lock_guard<std::mutex> guard(m_state->noticeLock);
  out.swap(m_state->notices);
  return out;
}

uint64_t TLogger::StdoutDroppedLines() const {
  std::lock_guard<std::mutex> guard(m_state->wakeLock);
  return m_state->stdoutDropped;
}

void TLogger::WriteError(std::string sError) {
  m_state->Queue(ELogCategory::Error, std::move(sError));
}
void TLogger::WriteDebug(std::string sDebug) {
  m_state->Queue(ELogCategory::Debug, std::move(sDebug));
}
void TLogger::WriteData(std::string sData) {
  m_state->Queue(ELogCategory::Data, std::move(sData));
}
void TLogger::WriteSave(std::string sData) {
  m_state->Queue(ELogCategory::Save, std::move(sData));
}
void TLogger::WriteScript(std::string sData) {
  m_state->Queue(ELogCategory::Script, std::move(sData));
}

void TLogger::FlushNow() {
  m_state->Flush();
}

std::string TLogger::CurrentFile(ELogCategory category) const {
  std::lock_guard<std::mutex> guard(m_state->flushLock);
  return m_state->Category(category).file;
}

std::string TLogger::GetLogFileName(const std::string& logDir, std::string_view stem) {
  const std::string prefix =
      WithSlash(logDir) + std::string(stem) + "_" + DateText(std::time(nullptr)) + "_";
  std::string name;
  for (int n = 1; n <= Logger_Max_FileNumber; ++n) {
    char number[16];
    std::snprintf(number, sizeof(number), "%03d", n);
    name = prefix + number + ".txt";
    const int64_t size = GetFSize(name);
    if (size < 0 || static_cast<uint64_t>(size) <= Logger_Max_Size) return name;
  }
  return name;  // every number is full: keep writing the last
}

int64_t TLogger::GetFSize(const std::string& FileName) {
  struct stat st {};
  if (::stat(FileName.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

// ---- Entry points ---------------------------------------------------------------------------

bool StdoutIsJournal() {
  const char* env = std::getenv("JOURNAL_STREAM");
  if (!env) return false;
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  if (std::sscanf(env, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) != 0) return false;
  return st.st_dev == dev && st.st_ino == ino;
}

void OutErrorLog(std::string_view sError) {
  if (!g_Logger || IsBlank(sError)) return;
  g_Logger->WriteError(MakeLogLine(sError));
}

void OutErrorLog(std::string_view sError, const std::exception& E) {
  if (!g_Logger || IsBlank(sError)) return;
  std::string text(sError);
  text.append(" Except：").append(E.what());
  g_Logger->WriteError(MakeLogLine(text));
}

void OutDebugLog(std::string_view sLog) {
  if (!g_Logger || IsBlank(sLog)) return;
  g_Logger->WriteDebug(MakeLogLine(sLog));
}

void OutErrorLogFormat(std::string_view sError, std::span<const TLogArg> Param) {
  if (!g_Logger || IsBlank(sError)) return;
  std::string text;
  try {
    text = FormatLogText(sError, Param);
  } catch (const std::exception& e) {
    text = "Format_Err: " + std::string(sError) + "  " + e.what();
  }
  g_Logger->WriteError(MakeLogLine(text));
}

void OutDebugLogFormat(std::string_view sLog, std::span<const TLogArg> Param) {
  if (!g_Logger || IsBlank(sLog)) return;
  std::string text;
  try {
    text = FormatLogText(sLog, Param);
  } catch (const std::exception&) {
    text = "Format_Err: " + std::string(sLog);
  }
  g_Logger->WriteDebug(MakeLogLine(text));
}
