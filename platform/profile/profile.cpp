#include "platform/profile/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

thread_local std::string LastError;

// The largest settings file that is read: far beyond any real one.
constexpr size_t kMaxProfileBytes = 1 << 20;

// Writers in this process take turns, so that two read-modify-write passes do not lose one
// another's change.
std::mutex WriteLock;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// One line of the file, classified. `text` is the line as it was, without its line break.
struct Line {
  enum Kind { Other, Section, Entry } kind = Other;
  std::string text;
  std::string name;   // section name or key, trimmed
  std::string value;  // an entry's value, trimmed
};

void Classify(Line& line) {
  std::string_view s = Trim(line.text);
  line.kind = Line::Other;
  if (s.empty() || s.front() == ';') return;
  if (s.front() == '[') {
    s.remove_prefix(1);
    const size_t close = s.find(']');
    line.kind = Line::Section;
    line.name = Trim(s.substr(0, close));
    return;
  }
  const size_t eq = s.find('=');
  if (eq == std::string_view::npos) return;
  std::string_view key = Trim(s.substr(0, eq));
  if (key.empty()) return;
  line.kind = Line::Entry;
  line.name = key;
  line.value = Trim(s.substr(eq + 1));
}

Line MakeLine(std::string text) {
  Line line{Line::Other, std::move(text), {}, {}};
  Classify(line);
  return line;
}

struct Document {
  std::vector<Line> lines;
  std::string eol = "\n";  // the file's own line break, kept for the lines we write
  bool bom = false;        // the file began with a UTF-8 byte-order mark, kept on write
};

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Reads `fileName` into `doc`. A missing file is an empty document; any other failure is false.
// Only a regular file of at most kMaxProfileBytes is read: the open does not block (on a FIFO),
// and nothing reads without end (a link to a device).
bool Load(const std::string& fileName, Document& doc, bool& exists) {
  doc.lines.clear();
  exists = false;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    LastError = fileName + ": " + std::strerror(errno);
    return false;
  }
  exists = true;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    LastError = fileName + ": not a regular file";
    ::close(fd);
    return false;
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      LastError = fileName + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    content.append(buffer, size_t(n));
    if (content.size() > kMaxProfileBytes) {
      LastError = fileName + ": larger than 1 MiB, not a settings file";
      ::close(fd);
      return false;
    }
  }
  ::close(fd);

  // Editors that save with a byte-order mark would otherwise hide the first section behind it.
  if (content.starts_with(kUtf8Bom)) {
    doc.bom = true;
    content.erase(0, kUtf8Bom.size());
  }
  const size_t firstBreak = content.find('\n');
  if (firstBreak != std::string::npos && firstBreak > 0 && content[firstBreak - 1] == '\r')
    doc.eol = "\r\n";
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string text = content.substr(start, end - start);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    doc.lines.push_back(MakeLine(std::move(text)));
    start = end + 1;
  }
  return true;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// Finds the first entry `key` in any section named `section`.
Line* FindEntry(Document& doc, std::string_view section, std::string_view key) {
  bool inSection = false;
  for (Line& line : doc.lines) {
    if (line.kind == Line::Section)
      inSection = SameName(line.name, section);
    else if (inSection && line.kind == Line::Entry && SameName(line.name, key))
      return &line;
  }
  return nullptr;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool Fail(const std::string& message) {
  LastError = message;
  return false;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

// The temporary files of a replacement are named ".NAME.tmpPID.N" beside NAME, so that the
// next write can recognise those that a killed writer left behind.
std::string TempPrefix(const std::string& base) {
  return "." + base + ".tmp";
}

// Whether `name` is a temporary file of `prefix`, and which process made it.
bool ParseTempName(std::string_view name, std::string_view prefix, pid_t& pid) {
  if (!name.starts_with(prefix)) return false;
  name.remove_prefix(prefix.size());
  const size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == name.size()) return false;
  const std::string_view digits = name.substr(0, dot), serial = name.substr(dot + 1);
  auto allDigits = [](std::string_view s) {
    return s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!allDigits(digits) || !allDigits(serial) || digits.size() > 9) return false;
  pid = pid_t(std::strtol(std::string(digits).c_str(), nullptr, 10));
  return pid > 0;
}

// Removes the temporary files of `base` in `folder` that no running write will rename: those
// of a process that is gone, those of this process (its writes take turns, and none is under
// way), and any older than ten minutes (a process number used again by another program).
void RemoveStaleTemps(const std::string& folder, const std::string& base) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  const std::string prefix = TempPrefix(base);
  const time_t now = ::time(nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    pid_t pid;
    if (!ParseTempName(entry->d_name, prefix, pid)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    const bool gone = ::kill(pid, 0) != 0 && errno == ESRCH;
    if (gone || pid == ::getpid() || now - st.st_mtime > 600)
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

// The file a write replaces: the target of a symbolic link, else the file itself.
std::string TargetOf(const std::string& fileName) {
  struct stat st {};
  char resolved[PATH_MAX];
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
      ::realpath(fileName.c_str(), resolved))
    return resolved;
  return fileName;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A write that changes nothing replaces nothing, but still clears what killed writers left.
bool Unchanged(const std::string& fileName) {
  const std::string target = TargetOf(fileName);
  RemoveStaleTemps(Folder(target), BaseName(target));
  return true;
}

// Replaces `fileName` by `content`: a new file in the same folder, flushed to disk, then renamed
// over the old one, which keeps its permissions.
bool Replace(const std::string& fileName, const std::string& content) {
  std::string target = fileName;
  struct stat st {};
  bool existed = false;
  if (::lstat(fileName.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      // Write through a symbolic link rather than replacing the link by a file.
      char resolved[PATH_MAX];
      if (!::realpath(fileName.c_str(), resolved))
        return Fail(fileName + ": " + std::strerror(errno));
      target = resolved;
      if (::stat(target.c_str(), &st) != 0) return Fail(target + ": " + std::strerror(errno));
    }
    existed = true;
  }
  const std::string folder = Folder(target);
  const std::string base = BaseName(target);

  RemoveStaleTemps(folder, base);

  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = folder + "/" + TempPrefix(base) + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return Fail(target + ": " + std::strerror(errno));

  int error = 0;
  if (!WriteAll(fd, content) || (existed && ::fchmod(fd, st.st_mode & 07777) != 0) ||
      ::fsync(fd) != 0)
    error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return Fail(target + ": " + std::strerror(error));
  }
  // Make the rename itself durable.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

std::string Join(const Document& doc) {
  std::string out;
  if (doc.bom) out = kUtf8Bom;
  for (const Line& line : doc.lines) {
    out += line.text;
    out += doc.eol;
  }
  return out;
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& fileName) {
  Document doc;
  bool exists;
  if (!Load(fileName, doc, exists)) return std::string(defaultValue);
  const Line* entry = FindEntry(doc, Trim(section), Trim(key));
  if (!entry) return std::string(defaultValue);
  return std::string(Unquote(entry->value));
}

int32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                             const std::string& fileName) {
  const std::string text = GetPrivateProfileString(section, key, "", fileName);
  std::string_view s = Trim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  unsigned base = 10;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  uint32_t value = 0;
  size_t digits = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9')
      d = unsigned(c - '0');
    else if (base == 16 && Lower(c) >= 'a' && Lower(c) <= 'f')
      d = unsigned(Lower(c) - 'a' + 10);
    else
      break;
    value = value * base + d;  // wraps like a 32-bit register
    ++digits;
  }
  if (digits == 0) return defaultValue;
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

namespace {

// Refuses names and values that cannot be written as one line of the file.
bool CheckNames(std::string_view section, const char* key, const char* value) {
  if (section.empty() || section.find(']') != std::string_view::npos || HasLineBreakOrNul(section))
    return Fail("Invalid section name \"" + std::string(section) + "\"");
  const std::string_view keyName = key ? Trim(key) : std::string_view();
  if (key && (keyName.empty() || keyName.find('=') != std::string_view::npos ||
              keyName.front() == '[' || keyName.front() == ';' || HasLineBreakOrNul(keyName)))
    return Fail("Invalid key name \"" + std::string(keyName) + "\"");
  if (value && HasLineBreakOrNul(value))
    return Fail("A value cannot hold a line break (key \"" + std::string(keyName) + "\")");
  return true;
}

// Makes one change in the document; true when a line changed.
bool Apply(Document& doc, std::string_view section, const char* key, const char* value) {
  const std::string_view keyName = key ? Trim(key) : std::string_view();
  auto sectionEnd = [&](size_t header) {
    size_t i = header + 1;
    while (i < doc.lines.size() && doc.lines[i].kind != Line::Section) ++i;
    return i;
  };

  bool changed = false;
  if (!key) {
    // Remove every section of that name with its lines.
    for (size_t i = 0; i < doc.lines.size();) {
      if (doc.lines[i].kind == Line::Section && SameName(doc.lines[i].name, section)) {
        doc.lines.erase(doc.lines.begin() + std::ptrdiff_t(i),
                        doc.lines.begin() + std::ptrdiff_t(sectionEnd(i)));
        changed = true;
      } else {
        ++i;
      }
    }
  } else if (!value) {
    // Remove the key wherever the section appears.
    bool inSection = false;
    for (size_t i = 0; i < doc.lines.size();) {
      const Line& line = doc.lines[i];
      if (line.kind == Line::Section) inSection = SameName(line.name, section);
      if (inSection && line.kind == Line::Entry && SameName(line.name, keyName)) {
        doc.lines.erase(doc.lines.begin() + std::ptrdiff_t(i));
        changed = true;
      } else {
        ++i;
      }
    }
  } else {
    const std::string_view valueText = value;
    Line* entry = FindEntry(doc, section, keyName);
    if (entry) {
      // Keep the key as the file spells it.
      Line replacement = MakeLine(std::string(entry->name) + "=" + std::string(valueText));
      if (replacement.text != entry->text) {
        *entry = std::move(replacement);
        changed = true;
      }
    } else {
      const std::string newLine = std::string(keyName) + "=" + std::string(valueText);
      size_t header = doc.lines.size();
      for (size_t i = 0; i < doc.lines.size(); ++i)
        if (doc.lines[i].kind == Line::Section && SameName(doc.lines[i].name, section)) {
          header = i;
          break;
        }
      if (header < doc.lines.size()) {
        // After the section's last non-blank line, before the blank lines that part it from the
        // next section.
        size_t at = sectionEnd(header);
        while (at > header + 1 && Trim(doc.lines[at - 1].text).empty()) --at;
        doc.lines.insert(doc.lines.begin() + std::ptrdiff_t(at), MakeLine(newLine));
      } else {
        if (!doc.lines.empty() && !Trim(doc.lines.back().text).empty())
          doc.lines.push_back(MakeLine(""));
        doc.lines.push_back(MakeLine("[" + std::string(section) + "]"));
        doc.lines.push_back(MakeLine(newLine));
      }
      changed = true;
    }
  }
  return changed;
}

}  // namespace

bool WritePrivateProfileString(std::string_view section, const char* key, const char* value,
                               const std::string& fileName) {
  section = Trim(section);
  if (!CheckNames(section, key, value)) return false;
  if (fileName.empty()) return Fail("No file name");

  std::lock_guard guard(WriteLock);
  Document doc;
  bool exists;
  if (!Load(fileName, doc, exists)) return false;
  if (!Apply(doc, section, key, value)) return Unchanged(fileName);
  return Replace(fileName, Join(doc));
}

bool WritePrivateProfileStrings(std::string_view section,
                                const std::vector<std::pair<std::string, std::string>>& entries,
                                const std::string& fileName) {
  section = Trim(section);
  for (const auto& [key, value] : entries) {
    if (key.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
      return Fail("A key or value cannot hold a NUL character (key \"" + key + "\")");
    if (!CheckNames(section, key.c_str(), value.c_str())) return false;
  }
  if (fileName.empty()) return Fail("No file name");

  std::lock_guard guard(WriteLock);
  Document doc;
  bool exists;
  if (!Load(fileName, doc, exists)) return false;
  bool changed = false;
  for (const auto& [key, value] : entries)
    changed = Apply(doc, section, key.c_str(), value.c_str()) || changed;
  if (!changed) return Unchanged(fileName);
  return Replace(fileName, Join(doc));
}

bool PrivateProfileReadable(const std::string& fileName) {
  Document doc;
  bool exists;
  return Load(fileName, doc, exists);
}

std::string ProfileLastError() {
  return LastError;
}
