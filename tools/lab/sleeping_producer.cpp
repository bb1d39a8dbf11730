// sleeping_producer: stock_gate's producer held back while the stock is full, judged by
// the lines it prints, by what a traced run shows the producer doing once the stock stood
// full (asleep in futex on a word of its own, woken by the seller), and by the CPU time
// its threads use from then on, read from /proc on a timer.
#include <algorithm>
#include <map>
#include <tuple>

#include "synchronisation.hpp"

namespace lab {

namespace {

const int bound = 1168;  // the most items the task lets stand unsold

// What the lines of a stock run establish: the first line that breaks a rule, and the
// most items unsold that the lines show.
struct Stock {
  int made = 0, sold = 0, top = 0;
  size_t broken = 0;  // the line (from 1) of the first broken rule, or 0
  std::string rule;   // its words
};

// Counts one more line of a stock run, or returns the rule it breaks (and counts nothing).
std::string count_line(Stock &s, const std::string &text) {
  const std::string products = "products = ", sells = "sells = ";
  bool made = text.starts_with(products), sold = text.starts_with(sells);
  if (!made && !sold)
    return "sleeping_producer.invariants.other";
  int value = atoi(text.c_str() + (made ? products : sells).size());
  if (value != (made ? s.made : s.sold) + 1)
    return made ? "sleeping_producer.invariants.products" : "sleeping_producer.invariants.sells";
  if (sold && value > s.made)
    return "sleeping_producer.invariants.early";
  (made ? s.made : s.sold) = value;
  s.top = std::max(s.top, s.made - s.sold);
  return "";
}

Stock stock(const std::vector<Line> &lines) {
  Stock s;
  for (size_t i = 0; i < lines.size() && !s.broken; ++i)
    if (s.rule = count_line(s, lines[i].text); !s.rule.empty())
      s.broken = i + 1;
  return s;
}

// How near its bound the stock must stand for the CPU check to weigh the time: on a pipe
// the lines come a buffer at a time, a few hundred of them, so the stock they show is
// that much behind.
const int near_full = 300;
const long filled_mark = 1 << 20;

// What the traced run showed. On a pipe stdio writes its buffer when a line does not fit
// in it: the write is made by the thread that printed that line, and ends with its first
// bytes. So the thread whose writes end in "products = " cut short is the producer.
struct Traced_stock {
  std::string why_not;  // not traced, or never full: why not judged
  pid_t producer = 0, seller = 0;
  size_t threads = 0;
  int sleeps = 0, woken = 0, seller_sleeps = 0, on_stdout = 0, by_clock = 0;  // on `word`
  uintptr_t word = 0;  // the word it slept on most
  std::string where;
  size_t full_line = 0;                  // the line that first showed a full stock
  std::vector<Sampler::Sample> samples;  // marked with the items unsold the lines showed
};

Traced_stock traced_stock(const Learner &l) {
  Traced_stock s;
  if (s.why_not = cannot_trace(); !s.why_not.empty())
    return s;
  // A producer waits only once the stock is full, which under strace (and on one CPU) may
  // take a while: the traced run goes on until the lines show a full stock and a thousand
  // lines and half a second more, for at most six seconds.
  Stock seen;  // the traced run's lines so far; a line that breaks a rule is skipped
  size_t read = 0, filled_at = 0;
  double full_at = 0;
  std::atomic<int> unsold{0};  // read by the sampler's thread, as is stood_full
  std::atomic<bool> stood_full{false};
  double at_bound = 0;  // seconds between lines that showed the stock at its bound
  auto full = [&](const std::vector<Line> &lines) {
    for (; read < lines.size(); ++read) {
      bool near = unsold >= bound - near_full;
      if (count_line(seen, lines[read].text).empty() && seen.top >= bound && !full_at)
        full_at = lines[read].at, filled_at = read, stood_full = true;
      unsold = seen.made - seen.sold;
      at_bound +=
          near && unsold >= bound - near_full && read ? lines[read].at - lines[read - 1].at : 0;
    }
    return full_at && lines.size() >= filled_at + 1000 && at_bound >= 0.6;
  };
  Waits w;
  // Each reading marked with the items unsold, and whether the stock has stood full yet.
  w.sampler.mark = [&] { return long{unsold} + (stood_full ? filled_mark : 0); };
  traced_waits(w, l, {.argv = {l.programs[0]}, .deadline = 6, .stop_when = full},
               "write,?nanosleep,?clock_nanosleep");
  s.threads = w.threads.size();
  s.samples = w.sampler.samples;
  if (seen.top < bound) {
    // The producer gets ahead of the seller only when it runs while the seller waits. Where
    // the threads stood ready, waiting for a CPU, for a good part of the run (a busy
    // machine, or one CPU), the traced run may never have let it.
    double waited = 0, span = 0;
    if (s.samples.size() >= 2) {
      const Sampler::Sample &a = s.samples.front(), &b = s.samples.back();
      span = b.at - a.at;
      for (size_t i = 0; i < b.cpu.size() && i < b.wanted.size(); ++i)
        waited += b.wanted[i].second - b.cpu[i].second;
    }
    int share = span > 0 ? static_cast<int>(100 * waited / span) : 0;
    s.why_not = words::line(share >= 25 ? "sleeping_producer.sleeps.never_full_busy"
                                        : "sleeping_producer.sleeps.never_full",
                            {{"lines", std::to_string(w.t.out.lines.size())},
                             {"bound", std::to_string(bound)},
                             {"share", std::to_string(share)}});
    return s;
  }
  // Who wrote which kind of line, and when the lines written so far first showed the
  // stock full.
  std::map<pid_t, int> products, sells;
  Stock shown;
  std::string partial;
  double filled = -1;
  size_t line = 0;
  for (const Said &said : watcher::said(w.t)) {
    std::string cut = said.text.substr(said.text.rfind('\n') + 1);
    if (!cut.empty() && std::string("products = ").starts_with(cut.substr(0, 11)))
      products[said.tid]++;
    else if (!cut.empty() && std::string("sells = ").starts_with(cut.substr(0, 8)))
      sells[said.tid]++;
    std::string text = partial + said.text;
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
      ++line;
      count_line(shown, text.substr(from, end - from));
      if (filled < 0 && shown.top >= bound)
        filled = said.at, s.full_line = line;
    }
    partial = text.substr(from);
  }
  auto most = [](const std::map<pid_t, int> &votes) {
    pid_t best = 0;
    for (const auto &[tid, n] : votes)
      if (!best || n > votes.at(best))
        best = tid;
    return best;
  };
  s.producer = most(products);
  s.seller = most(sells);
  auto made = std::find(w.threads.begin(), w.threads.end(), s.producer);
  if (!s.producer || made == w.threads.end() || filled < 0)
    return s;
  // By word: the producer's sleeps since the stock filled, how many of them the seller
  // woke, and the seller's own sleeps there (a lock the two share, not a count of places).
  struct On {
    int sleeps = 0, woken = 0, seller = 0;
  };
  std::map<uintptr_t, On> on;
  // A call the run's end cut short lasted until then. On a pipe the lines reach the
  // trace a buffer late: a sleep still going on when they showed the stock full counts.
  double end = w.t.events.empty() ? 0 : w.t.events.back().at;
  auto until = [&](const Event &e) { return e.result.empty() ? end : e.done; };
  for (const Event &e : w.t.events) {
    if (e.tid == s.seller && slept(e) && w.mine(futex_word(e)))
      on[futex_word(e)].seller++;
    if (e.tid != s.producer || until(e) < filled)
      continue;
    s.by_clock += e.name == "nanosleep" || e.name == "clock_nanosleep";
    if (!slept(e))
      continue;
    uintptr_t word = futex_word(e);
    s.on_stdout += word == w.stdout_word;
    if (!w.mine(word))
      continue;
    on[word].sleeps++;
    // Woken by the seller: its wake on that word while the producer slept.
    on[word].woken += std::any_of(w.t.events.begin(), w.t.events.end(), [&](const Event &wake) {
      return wake.tid == s.seller && is_futex(wake) && !is_futex_wait(wake) &&
             futex_word(wake) == word && wake.at >= e.at && wake.at <= until(e);
    });
  }
  // The word that shows a wait for a place best: woken by the seller, never slept on by it.
  auto rank = [](const On &o) { return std::tuple{o.woken > 0 && !o.seller, o.woken, o.sleeps}; };
  for (const auto &[word, o] : on)
    if (o.sleeps && (!s.word || rank(o) > rank(on[s.word])))
      s.word = word;
  if (s.word)
    s.sleeps = on[s.word].sleeps, s.woken = on[s.word].woken, s.seller_sleeps = on[s.word].seller;
  s.where = s.word ? w.where(s.word) : "";
  return s;
}

Check producer_sleeps(const Traced_stock &s) {
  const std::string name = "sleeping_producer.sleeps";
  if (!s.why_not.empty())
    return unjudged(name, s.why_not);
  Vars facts = {{"producer", std::to_string(s.producer)},
                {"seller", std::to_string(s.seller)},
                {"line", std::to_string(s.full_line)},
                {"bound", std::to_string(bound)},
                {"sleeps", std::to_string(s.sleeps)},
                {"woken", std::to_string(s.woken)},
                {"where", s.where},
                {"seller_sleeps", std::to_string(s.seller_sleeps)},
                {"on_stdout", std::to_string(s.on_stdout)},
                {"clock", std::to_string(s.by_clock)},
                {"threads", std::to_string(s.threads)}};
  if (!s.producer) {
    facts["why"] = words::line("sleeping_producer.no_producer", facts);
    return check(name, false, facts);
  }
  // A producer that waits for a place sleeps on a word that only it waits on and the
  // seller posts after a sale; a word the seller sleeps on too is a lock the two share.
  bool passed = s.woken > 0 && s.seller_sleeps == 0;
  std::string why = s.woken > 0  ? "sleeping_producer.sleeps.shared"
                    : s.sleeps   ? "sleeping_producer.sleeps.not_woken"
                    : s.by_clock ? "sleeping_producer.sleeps.by_clock"
                                 : "sleeping_producer.sleeps.none";
  facts["why"] = words::line(why, facts);
  return check(name, passed, facts);
}

// Both workers' time on a CPU or waiting for one, over the readings, made on a timer,
// between which the lines showed the stock at its bound.
Check cpu_shares(const Traced_stock &traced, const Stock &s, size_t lines) {
  const std::string name = "sleeping_producer.cpu";
  if (traced.why_not.size())
    return unjudged(name, traced.why_not);
  const std::vector<Sampler::Sample> &samples = traced.samples;
  // The last reading with the most threads: a program that is being ended loses its
  // threads one by one.
  const Sampler::Sample *last = nullptr;
  for (const Sampler::Sample &x : samples)
    if (!last || x.cpu.size() >= last->cpu.size())
      last = &x;
  Vars facts = {{"threads", std::to_string(last ? last->cpu.size() - 1 : 0)},
                {"lines", std::to_string(lines)},
                {"top", std::to_string(s.top)},
                {"bound", std::to_string(bound)}};
  if (!last || last->cpu.size() != 3) {
    facts["why"] = words::line("sleeping_producer.threads", facts);
    return check(name, false, facts);
  }
  // The workers by their ids; the producer is the one that wrote the products lines.
  // Summed over the readings between which the lines showed the stock at its bound, once
  // they had first shown it full.
  double window = 0, used[2] = {0, 0}, since = 0, wanted[2] = {0, 0};
  bool filled = false;
  for (size_t k = 1; k < samples.size(); ++k) {
    const Sampler::Sample &a = samples[k - 1], &b = samples[k];
    filled = filled || a.mark >= filled_mark;
    if (!filled || a.cpu.size() != 3 || b.cpu.size() != 3 || a.cpu[1].first != b.cpu[1].first ||
        a.cpu[2].first != b.cpu[2].first)
      continue;
    bool near =
        a.mark % filled_mark >= bound - near_full && b.mark % filled_mark >= bound - near_full;
    since += b.at - a.at;
    window += near ? b.at - a.at : 0;
    for (size_t i = 0; i < 2; ++i) {
      used[i] += near ? b.cpu[i + 1].second - a.cpu[i + 1].second : 0;
      wanted[i] += near ? b.wanted[i + 1].second - a.wanted[i + 1].second : 0;
    }
  }
  if (since < 0.05)
    return unjudged(name, words::line("sleeping_producer.cpu.never_full", facts));
  // A stock at its bound only for moments shows nothing of what the producer does there.
  bool brief = window < 0.05;
  facts["at_bound"] = fixed(window, 2);
  if (brief)
    return unjudged(name, words::line("sleeping_producer.cpu.brief", facts));
  bool known = traced.producer == last->cpu[1].first || traced.producer == last->cpu[2].first;
  size_t producer = known ? traced.producer == last->cpu[2].first : used[1] > used[0];
  double p = used[producer], seller = used[1 - producer];
  facts.insert({{"seconds", fixed(window, 2)},
                {"producer", std::to_string(last->cpu[producer + 1].first)},
                {"seller", std::to_string(last->cpu[2 - producer].first)},
                {"producer_cpu", fixed(p, 2)},
                {"seller_cpu", fixed(seller, 2)},
                {"share", std::to_string(static_cast<int>(100 * p / window))},
                {"wanted", std::to_string(static_cast<int>(100 * wanted[producer] / window))},
                {"ratio", fixed(seller > 0 ? p / seller : 0, 1)}});
  facts["who"] =
      words::line(known ? "sleeping_producer.cpu.known" : "sleeping_producer.cpu.busier", facts);
  facts["span"] =
      words::line(brief ? "sleeping_producer.cpu.since" : "sleeping_producer.cpu.window", facts);
  facts["why"] = words::line("sleeping_producer.cpu.why", facts);
  // A producer that spins keeps its CPU busy while the stock is full; one that sleeps uses
  // what making an item takes, as the seller does for a sale. A spinner on a busy machine
  // or one CPU gets only part of the time it wants: when the producer got less than half
  // but wanted more, the run cannot tell a spin from a producer kept waiting for a CPU.
  bool got_half = p >= 0.5 * window, wanted_half = wanted[producer] >= 0.5 * window;
  if (!got_half && wanted_half)
    return unjudged(name, words::line("sleeping_producer.cpu.busy", facts));
  return check(name, !got_half, facts);
}

}  // namespace

std::vector<Check> judge_stock(const Learner &l) {
  // On a terminal each line is written as it is printed: a program that stops shows its
  // last line, not the last buffer that happened to fill. This run comes first, so that
  // it always has its time, however long the traced run takes.
  // It goes on until the lines have shown a full stock, a product made past it and a
  // thousand lines more, for at most five seconds: a terminal on a busy machine may take
  // seconds to show a full stock, and a woken producer may wait for a CPU while the seller
  // sells the whole stock. Only a program that makes nothing more runs to its deadline.
  Stock seen;
  size_t read = 0, full = 0;  // full: the lines read when the stock was first full
  auto enough = [&](const std::vector<Line> &lines) {
    for (; read < lines.size(); ++read) {
      count_line(seen, lines[read].text);
      full = !full && seen.top >= bound ? read + 1 : full;
    }
    return full && seen.made > bound && lines.size() >= full + 1000;
  };
  Outcome o =
      watch(limited(l, {.argv = {l.programs[0]}, .tty = true, .deadline = 5, .stop_when = enough}));
  Traced_stock traced = traced_stock(l);
  Stock s = stock(o.lines);
  Vars facts = {{"lines", std::to_string(o.lines.size())},
                {"made", std::to_string(s.made)},
                {"sold", std::to_string(s.sold)},
                {"top", std::to_string(s.top)},
                {"bound", std::to_string(bound)},
                {"printed", std::to_string(bound + 1)},
                {"ending", ending(o)}};
  if (s.broken) {
    facts["line"] = std::to_string(s.broken);
    facts["text"] = o.lines[s.broken - 1].text;
  }
  // Stopped at its deadline with a sale made in its last half second and items still to
  // sell: a program that is slow, not stuck, on a busy machine (or one CPU), where the
  // producer may wait long for a CPU once the seller has one.
  bool coming = o.interrupted && !o.lines.empty() && o.end - o.lines.back().at < 0.5;
  facts["seconds"] = fixed(o.lines.empty() ? 0 : o.lines.back().at, 1);
  Check invariants =
      !s.broken && s.made > 0 && s.made <= bound && s.sold < s.made && coming
          ? unjudged("sleeping_producer.invariants",
                     words::line("sleeping_producer.invariants.slow", facts))
          : Check{};
  // Past a full stock, or the stock stopped short of it, or nothing was made at all.
  facts["why"] = words::line(s.broken         ? s.rule
                             : s.made == 0    ? "sleeping_producer.invariants.nothing"
                             : s.top >= bound ? "sleeping_producer.invariants.stuck"
                                              : "sleeping_producer.invariants.short",
                             facts);
  if (invariants.name.empty())
    invariants = check("sleeping_producer.invariants", !s.broken && s.made > bound, facts);
  return {invariants,
          check("sleeping_producer.bound", s.top <= bound + 1, facts), producer_sleeps(traced),
          cpu_shares(traced, s, o.lines.size())};
}

}  // namespace lab
