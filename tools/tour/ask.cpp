// The engine's questions: a prediction asked before a run, read from the keyboard or from
// standard input, judged after the run by what it established, and the score.
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>

#include "album.hpp"
#include "engine.hpp"

namespace tour {

// A question as its words give it:
//   choice | usual: a | judged by: the first line this run printed
//   fact: this run's first line was "{first}"
//   Which line will parent_child print first?
//   a) ...
// or "number within 1 | usual: 14 | ..." for a number and its tolerance. The field
// "needs the trace" marks a question that only strace's record of the run can judge.
struct Question {
  bool number = false;
  bool traced = false;
  double tolerance = 0;
  std::string usual, judged_by, fact;
  std::vector<std::string> asking;                           // the question's lines
  std::vector<std::pair<std::string, std::string>> choices;  // letter, text
};

static Question question(const std::string &name) {
  Question q;
  std::vector<std::string> lines = text("ask." + name);
  std::string head = lines[0];
  q.number = head.starts_with("number");
  if (q.number && head.starts_with("number within "))
    q.tolerance = atof(head.c_str() + 14);
  for (size_t at = 0; at < head.size();) {
    size_t end = head.find(" | ", at);
    std::string field = head.substr(at, end == std::string::npos ? end : end - at);
    if (field.starts_with("usual: "))
      q.usual = field.substr(7);
    if (field.starts_with("judged by: "))
      q.judged_by = field.substr(11);
    if (field == "needs the trace")
      q.traced = true;
    at = end == std::string::npos ? head.size() : end + 3;
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string &l = lines[i];
    if (l.starts_with("fact: "))
      q.fact = l.substr(6);
    else if (l.size() > 3 && l[1] == ')' && l[2] == ' ' && l[0] >= 'a' && l[0] <= 'z')
      q.choices.push_back({l.substr(0, 1), l.substr(3)});
    else if (!l.empty())
      q.asking.push_back(l);
  }
  return q;
}

static std::string letters(const Question &q) {
  std::vector<std::string> all;
  for (const auto &choice : q.choices)
    all.push_back(choice.first);
  return names(all);
}

// Every number the tour asks for is a count or a time of one run: none is negative, and
// none comes near this.
static const char *most = "1000000";

static bool valid(const Question &q, const std::string &answer) {
  if (q.number)  // a plain decimal: strtod alone would take "nan", "inf" and "0x10"
    return std::regex_match(answer, std::regex("[0-9]+(\\.[0-9]*)?")) &&
           atof(answer.c_str()) <= atof(most);
  for (const auto &choice : q.choices)
    if (choice.first == answer)
      return true;
  return false;
}

// One line of standard input, without its newline; false at its end. A Ctrl-C ends the
// wait: the handler is installed without SA_RESTART, so read returns EINTR.
static bool read_line(std::string &line) {
  line.clear();
  for (;;) {
    char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (cancelled())
      throw Interrupted{};
    if (n == 1 && c == '\n')
      return true;
    if (n == 1)
      line += c;
    else if (n < 0 && errno == EINTR)
      continue;
    else
      return !line.empty();
  }
}

void forget_typed() {
  if (isatty(STDIN_FILENO))
    tcflush(STDIN_FILENO, TCIFLUSH);
}

static int matched = 0, judged = 0, skipped = 0, unjudged = 0, unasked = 0;
static std::set<std::string> met;  // the questions asked or passed over
static bool ran_out = false;       // the answers came to their end

// A question the run cannot judge, not asked: said in one line, and its answer in a file
// read and put aside, so that the next answer goes to the next question.
static void pass_over(const std::string &name, const std::string &why) {
  Question q = question(name);
  met.insert(name);
  ++unasked;
  std::string answer;
  bool file = !isatty(STDIN_FILENO) && !ran_out, read = file && read_line(answer);
  std::string asking;
  for (const std::string &l : q.asking)
    asking += (asking.empty() ? "" : " ") + l;
  Vars vars = {{"question", asking.empty() ? name : asking},
               {"why", line(why)},
               {"answer", answer}};
  gap();
  for (const std::string &l :
       text(read ? "predict.passed_over" : "predict.not_asked", vars, settings.width - 4))
    out("   " + l);
  if (file && !read) {
    ran_out = true;
    out("   " + line("predict.ran_out"));
  }
}

void passed_over(const std::vector<std::string> &stops, const std::string &why) {
  if (!settings.predict || cancelled())
    return;
  for (const std::string &stop : stops)
    for (const std::string &name : named("ask." + stop + "."))
      if (!met.count(name.substr(4)))
        pass_over(name.substr(4),
                  question(name.substr(4)).traced && !can_trace() ? "predict.no_trace" : why);
}

Asked ask(const std::string &name) {
  if (cancelled())
    throw Interrupted{};
  Asked a{name};
  if (!settings.predict)
    return a;
  Question q = question(name);
  if (q.traced && !can_trace()) {
    pass_over(name, "predict.no_trace");
    return a;
  }
  a.asked = true;
  met.insert(name);
  bool keyboard = isatty(STDIN_FILENO);
  bool echo = !keyboard || !isatty(STDOUT_FILENO);  // an answer nobody saw typed
  gap();
  std::vector<std::string> lines = tour::fill(q.asking, {}, settings.width - 4);
  for (size_t i = 0; i < lines.size(); ++i)
    out((i == 0 ? strong("?? " + lines[i]) : "   " + lines[i]));
  for (const auto &[letter, choice] : q.choices)
    out("     " + letter + ") " + choice);
  for (const std::string &l :
       text("predict.judged_by", {{"judged", q.judged_by}}, settings.width - 4))
    out("   " + l);
  char tolerance[32];
  snprintf(tolerance, sizeof tolerance, "%g", q.tolerance);
  Vars vars = {{"letters", letters(q)}, {"tolerance", tolerance}};
  vars["most"] = most;
  std::string prompt = !q.number         ? "predict.choice"
                       : q.tolerance > 0 ? "predict.number"
                                         : "predict.number_exact";
  forget_typed();  // keys pressed while the last program ran answer nothing
  for (;;) {
    printf("   %s ", line(prompt, vars).c_str());
    fflush(stdout);
    std::string answer;
    bool got = !ran_out && read_line(answer);
    while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\r'))
      answer.pop_back();
    answer.erase(0, answer.find_first_not_of(' '));
    if (!q.number && answer.size() == 1)
      answer[0] = static_cast<char>(tolower(static_cast<unsigned char>(answer[0])));
    if (echo)
      out(answer);
    vars["answer"] = answer;
    if (!got && !ran_out) {
      ran_out = true;  // said once; every question after it is skipped without a word
      out("   " + line("predict.ran_out"));
    } else if (!got || answer.empty()) {
      out("   " + line("predict.skipped"));
    } else if (valid(q, answer)) {
      a.answer = answer;
    } else if (keyboard) {
      out("   " + line(q.number ? "predict.again_number" : "predict.again", vars));
      continue;
    } else {
      out("   " + line(q.number ? "predict.invalid_number" : "predict.invalid", vars));
    }
    break;
  }
  out("");
  fflush(stdout);
  return a;
}

// Above the first of the verdicts that follow a run.
static void heading() {
  if (after_verdict)
    return;
  gap();
  out(strong("-- " + line("predict.verdicts")));
}

// A verdict's lines, "!! " before the first; the next verdict follows without a gap.
static void say(const std::vector<std::string> &lines) {
  heading();
  for (size_t i = 0; i < lines.size(); ++i)
    out((i == 0 ? "!! " : "   ") + lines[i]);
}

// The verdict on an answer, once the run's own answer is known.
static void verdict(const Asked &a, const Question &q, bool right, bool usual,
                    const std::string &actual, const Vars &fact) {
  Vars vars = {{"answer", a.answer},
               {"actual", actual},
               {"usual", q.usual},
               {"fact", tour::fill({q.fact}, fact, 0)[0]},
               {"question", q.asking.empty() ? "" : q.asking[0]}};
  std::string name = a.answer.empty() ? "predict.unanswered"
                     : right          ? "predict.matched"
                                      : "predict.missed";
  say(text(name, vars, settings.width - 4));
  if (album::keeping())
    album::verdict({.name = vars["question"],
                    .word = a.answer.empty() ? "not_judged" : right ? "passed" : "failed",
                    .label = line("page.prediction"),
                    .text = line(name, vars)});
  if (!usual)
    for (const std::string &l : text("predict.unusual", vars, settings.width - 4))
      out("   " + l);
  if (a.answer.empty())
    ++skipped;
  else
    ++judged, matched += right;
  after_verdict = true;
}

void judge(const Asked &a, const std::string &choice, const Vars &fact) {
  if (cancelled())
    throw Interrupted{};  // a stopped run's facts judge nothing
  if (!a.asked)
    return;
  Question q = question(a.name);
  if (choice.empty())
    return judge_unseen(a, tour::fill({q.fact}, fact, 0)[0]);
  std::string actual = choice;
  for (const auto &[letter, text] : q.choices)
    if (letter == choice)
      actual = letter + ") " + text;
  verdict(a, q, a.answer == choice, q.usual.empty() || q.usual == choice, actual, fact);
}

void judge(const Asked &a, double value, const Vars &fact) {
  if (cancelled())
    throw Interrupted{};
  if (!a.asked)
    return;
  Question q = question(a.name);
  bool right = !a.answer.empty() && std::fabs(atof(a.answer.c_str()) - value) <= q.tolerance + 1e-9;
  bool usual = q.usual.empty() || std::fabs(atof(q.usual.c_str()) - value) <= q.tolerance + 1e-9;
  std::string actual =
      value == std::floor(value) ? std::to_string(static_cast<long>(value)) : fixed(value, 1);
  verdict(a, q, right, usual, actual, fact);
}

void judge_unseen(const Asked &a, const std::string &why) {
  if (cancelled())
    throw Interrupted{};
  if (!a.asked)
    return;
  Vars vars = {{"answer", a.answer.empty() ? "-" : a.answer}, {"why", why}};
  say(text("predict.unjudged", vars, settings.width - 4));
  if (album::keeping())
    album::verdict({.name = a.name,
                    .word = "not_judged",
                    .label = line("page.prediction"),
                    .text = line("predict.unjudged", vars)});
  ++unjudged;
  after_verdict = true;
}

void score() {
  if (!settings.predict)
    return;
  out("");
  evidence(unasked ? "predict.score_unasked" : "predict.score",
           {{"matched", std::to_string(matched)},
            {"judged", std::to_string(judged)},
            {"skipped", std::to_string(skipped)},
            {"unjudged", std::to_string(unjudged)},
            {"unasked", std::to_string(unasked)}});
}

}  // namespace tour
