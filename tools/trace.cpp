#include "trace.hpp"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace watcher {

const std::string &Event::arg(size_t i) const {
  static const std::string none;
  return i < args.size() ? args[i] : none;
}

// The first of `stops` at or after `from` that is neither in quotes nor inside brackets
// opened after `from`; the text's length if there is none.
static size_t next_outside(const std::string &t, size_t from, const std::string &stops) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = from; i < t.size(); ++i) {
    char c = t[i];
    if (quoted) {
      if (c == '\\')
        ++i;  // an escaped character, a quote among them
      else if (c == '"')
        quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (depth == 0 && stops.find(c) != std::string::npos) {
      return i;
    } else if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      --depth;
    }
  }
  return t.size();
}

// Splits "a, {b, c}, "d, e"" at the commas that are not inside brackets or quotes.
static std::vector<std::string> split_args(const std::string &text) {
  std::vector<std::string> parts;
  for (size_t start = 0; start < text.size();) {
    size_t end = next_outside(text, start, ",");
    std::string part = text.substr(start, end - start);
    part.erase(0, part.find_first_not_of(' '));
    part.erase(part.find_last_not_of(' ') + 1);
    parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// Fills in a whole call, "name(args) = result", from its text.
static void parse_call(Event &e) {
  const std::string &t = e.text;
  if (t.starts_with("+++") || t.starts_with("---")) {  // an end, or a signal delivered
    e.name = t.substr(0, 3);
    e.result = t.size() >= 8 ? t.substr(4, t.size() - 8) : "";
    return;
  }
  size_t open = t.find('(');
  e.name = t.substr(0, open);
  if (open == std::string::npos)
    return;
  size_t close = next_outside(t, open + 1, ")");
  e.args = split_args(t.substr(open + 1, close - open - 1));
  size_t equals = t.find("= ", close);
  if (equals == std::string::npos)
    return;
  e.result = t.substr(equals + 2);
  e.result.erase(e.result.find_last_not_of(' ') + 1);
  e.value = strtol(e.result.c_str(), nullptr, 0);
  if (e.result.starts_with("-1 E")) {
    size_t end = e.result.find(' ', 3);
    e.error = e.result.substr(3, end == std::string::npos ? end : end - 3);
  }
}

std::string shorten_call(const std::string &text, size_t limit) {
  size_t open = text.find('(');
  if (text.size() <= limit || open == std::string::npos)
    return text;
  size_t close = next_outside(text, open + 1, ")");
  std::string tail = text.substr(close);  // ") = 4971", or "" for a call without its end
  size_t cut = std::string::npos;
  bool quoted = false;
  for (size_t i = open + 1; i < close; ++i) {
    if (quoted) {
      if (text[i] == '\\')
        ++i;
      else if (text[i] == '"')
        quoted = false;
    } else if (text[i] == '"') {
      quoted = true;
    } else if (text[i] == ',' && i + 5 + tail.size() <= limit) {
      cut = i;
    }
  }
  return cut == std::string::npos ? text : text.substr(0, cut) + ", ..." + tail;
}

// Takes strace's " <0.000123>" off the end of a call (-T: the seconds spent in it), and
// gives them; -1 when there is none.
static double spent(std::string &text) {
  size_t open = text.rfind(" <");
  if (open == std::string::npos || !text.ends_with(">") ||
      text.find_first_not_of("0123456789.", open + 2) != text.size() - 1)
    return -1;
  double seconds = atof(text.c_str() + open + 2);
  text.erase(open);
  return seconds;
}

std::vector<Event> read_trace(std::istream &in, double *zero_at) {
  std::vector<Event> events;
  std::map<pid_t, size_t> unfinished;  // thread -> its call that waits for its second half
  const std::string cut = " <unfinished ...>";
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("[pid")) {  // strace's other prefix, "[pid 7527] "
      line.erase(0, 4);
      if (size_t bracket = line.find(']'); bracket != std::string::npos)
        line[bracket] = ' ';
    }
    std::istringstream fields(line);
    Event e;
    if (!(fields >> e.tid >> e.at))
      continue;
    std::getline(fields >> std::ws, e.text);
    double took = spent(e.text);
    e.done = e.at + std::max(0.0, took);
    if (e.text.starts_with("<... ")) {  // "<... futex resumed>) = 0": the second half
      auto first = unfinished.find(e.tid);
      size_t rest = e.text.find("resumed>");
      if (first == unfinished.end() || rest == std::string::npos)
        continue;
      Event &whole = events[first->second];
      whole.text += e.text.substr(rest + 8);
      whole.done = took >= 0 ? whole.at + took : e.at;  // -T counts from the call's start
      parse_call(whole);
      unfinished.erase(first);
      continue;
    }
    if (e.text.ends_with(cut)) {
      e.text.erase(e.text.size() - cut.size());
      unfinished[e.tid] = events.size();
    }
    parse_call(e);
    events.push_back(e);
  }
  if (!events.empty()) {
    double zero = events.front().at;
    if (zero_at)
      *zero_at = zero;
    for (Event &e : events) {
      e.at -= zero;
      e.done -= zero;
    }
  }
  return events;
}

bool has_flag(const std::string &flags, const std::string &flag) {
  for (size_t at = flags.find(flag); at != std::string::npos; at = flags.find(flag, at + 1)) {
    bool starts = at == 0 || flags[at - 1] == '|' || flags[at - 1] == '=' || flags[at - 1] == '{';
    char after = at + flag.size() < flags.size() ? flags[at + flag.size()] : '|';
    if (starts && (after == '|' || after == ',' || after == '}'))
      return true;
  }
  return false;
}

// The first child of a process, or 0: the program a tracer started.
static pid_t first_child(pid_t pid) {
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
  pid_t child = 0;
  children >> child;
  return child;
}

std::function<Looking()> onlooker;

Traced trace(Run r, const std::string &calls) {
  Looking look = onlooker ? onlooker() : Looking{};
  struct Record {  // strace's output file, removed however this ends
    char path[32] = "/tmp/trace.XXXXXX";
    Record() {
      int fd = mkstemp(path);
      if (fd < 0)
        throw std::runtime_error("mkstemp");
      close(fd);
    }
    ~Record() {
      unlink(path);
    }
  } record;
  std::string list = "trace=execve," + calls + (look.calls.empty() ? "" : "," + look.calls);
  std::vector<std::string> argv = {"strace", "-f",        "-ttt", "-q", "-s", "40",
                                   "-o",     record.path, "-e",   list, "--"};
  if (onlooker)  // each call's time in the kernel, even one that no other thread cut in two
    argv.insert(argv.begin() + 1, "-T");
  argv.insert(argv.end(), r.argv.begin(), r.argv.end());
  r.argv = argv;
  auto started = r.started;
  r.started = [&](pid_t tracer) {
    // The program is strace's child. It is ready once it runs its own image, no longer a
    // copy of strace's, and the loader has mapped the C library into it.
    auto exe = [](pid_t pid) {
      std::error_code gone;
      return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", gone);
    };
    pid_t program = 0;
    for (int i = 0; i < 1000 && !cancelled(); ++i) {
      program = first_child(tracer);
      if (program != 0 && exe(program) != exe(tracer)) {
        auto mapped = maps(program);
        if (std::any_of(mapped.begin(), mapped.end(),
                        [](const Mapping &m) { return m.path.ends_with("/libc.so.6"); }))
          break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (look.started && program)
      look.started(program);
    if (started)
      started(program);
  };
  Traced t;
  t.out = watch(r);
  std::ifstream file(record.path);
  t.events = read_trace(file, &t.zero);
  if (!t.events.empty())
    t.pid = t.events.front().tid;
  if (look.ended)
    look.ended(t);
  return t;
}

std::string tracing_refused() {
  Outcome o = watch({.argv = {"strace", "-q", "-o", "/dev/null", "/bin/true"}, .deadline = 10});
  if (o.status == 0)
    return "";
  if (o.status == 127)
    return "strace is not installed";
  std::string why = o.err.substr(0, o.err.find('\n'));
  return "strace cannot trace here (" + (why.empty() ? "it failed" : why) + ")";
}

std::vector<Mapping> maps(pid_t pid) {
  std::vector<Mapping> all;
  std::ifstream file("/proc/" + std::to_string(pid) + "/maps");
  for (std::string line; std::getline(file, line);) {
    Mapping m;
    char range[64], perms[8], device[16], path[4096] = "";
    unsigned long start, end;
    if (sscanf(line.c_str(), "%63s %7s %lx %15s %lu %4095[^\n]", range, perms, &m.offset, device,
               &m.inode, path) < 5 ||
        sscanf(range, "%lx-%lx", &start, &end) != 2)
      continue;
    m.start = start;
    m.end = end;
    m.perms = perms;
    m.device = device;
    m.path = path;
    m.path.erase(0, m.path.find_first_not_of(' '));
    all.push_back(m);
  }
  return all;
}

// The value of a symbol in an ELF file's symbol tables, and whether the file is
// position-independent (its values then count from where it was mapped).
static bool elf_symbol(const std::string &path, const std::string &name, uint64_t &value,
                       bool &relative) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), {});
  if (bytes.size() < sizeof(Elf64_Ehdr) || bytes.compare(0, 4, ELFMAG) != 0)
    return false;
  Elf64_Ehdr header;
  memcpy(&header, bytes.data(), sizeof header);
  relative = header.e_type == ET_DYN;
  auto section = [&](size_t i) {
    Elf64_Shdr s{};
    size_t at = header.e_shoff + i * sizeof s;
    if (at + sizeof s <= bytes.size())
      memcpy(&s, bytes.data() + at, sizeof s);
    return s;
  };
  for (size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr symbols = section(i);
    if (symbols.sh_type != SHT_SYMTAB && symbols.sh_type != SHT_DYNSYM)
      continue;
    Elf64_Shdr strings = section(symbols.sh_link);
    for (size_t at = symbols.sh_offset;
         at + sizeof(Elf64_Sym) <= symbols.sh_offset + symbols.sh_size &&
         at + sizeof(Elf64_Sym) <= bytes.size();
         at += sizeof(Elf64_Sym)) {
      Elf64_Sym symbol;
      memcpy(&symbol, bytes.data() + at, sizeof symbol);
      size_t text = strings.sh_offset + symbol.st_name;
      if (symbol.st_value != 0 && text < bytes.size() &&
          strncmp(bytes.data() + text, name.c_str(), bytes.size() - text) == 0) {
        value = symbol.st_value;
        return true;
      }
    }
  }
  return false;
}

uintptr_t symbol_address(pid_t pid, const std::string &object, const std::string &name) {
  for (const Mapping &m : maps(pid)) {
    bool named = m.path == object || m.path.ends_with("/" + object);
    uint64_t value;
    bool relative;
    if (named && m.offset == 0 && elf_symbol(m.path, name, value, relative))
      return relative ? m.start + value : value;
  }
  return 0;
}

uintptr_t stdout_lock(pid_t pid) {
  uintptr_t file = symbol_address(pid, "libc.so.6", "_IO_2_1_stdout_");
  int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
  uintptr_t lock = 0;
  // Until the loader has relocated the C library the field holds an offset, not an
  // address: read again until it points into the process's memory.
  for (int i = 0; file != 0 && mem >= 0 && i < 500 && !cancelled(); ++i) {
    off_t at = static_cast<off_t>(file + offsetof(FILE, _lock));
    if (pread(mem, &lock, sizeof lock, at) == sizeof lock)
      for (const Mapping &m : maps(pid))
        if (lock >= m.start && lock < m.end) {
          close(mem);
          return lock;
        }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (mem >= 0)
    close(mem);
  return 0;
}

}  // namespace watcher
