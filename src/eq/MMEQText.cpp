#include "eq/MMEQText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <complex>
#include <numbers>

namespace strataeq {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool StartsNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsSpace(s[i])) ++i;
    const std::size_t start = i;
    while (i < s.size() && !IsSpace(s[i])) ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

// Long quotes are cut so that a message stays one readable line.
std::string Quoted(std::string_view s) {
  constexpr std::size_t kMax = 40;
  std::string q = "'";
  q += s.size() > kMax ? std::string(s.substr(0, kMax)) + "..." : std::string(s);
  q += "'";
  return q;
}

std::string Number(double v, int decimals) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  // Too long in fixed notation (a number read as 1e111): the short form instead.
  if (r.ec != std::errc()) return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
  std::string s(buf, r.ptr);
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s == "-0" ? "0" : s;
}

class TParser {
 public:
  TParser(std::string_view text, const std::string& source, double sampleRate)
      : text_(text), source_(source), nyquist_(sampleRate / 2) {
    result_.SampleRate = sampleRate;
  }

  TEQText Run() {
    if (text_.size() > kEQTextMaxBytes)
      throw EEQTextError(source_ + ": " + std::to_string(text_.size()) +
                         " bytes is more than an equalizer text holds (at most 1 MiB)");
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") text_.remove_prefix(3);
    bool any = false;
    std::size_t pos = 0;
    while (pos <= text_.size()) {
      ++line_;
      const std::size_t end = std::min(text_.find('\n', pos), text_.size());
      const std::string_view raw = text_.substr(pos, end - pos);
      pos = end + 1;
      if (raw.find('\0') != std::string_view::npos) Fail("expected text, found a zero byte");
      const std::string_view l = Trim(raw);
      if (!l.empty() && l[0] == '#') FFTComment(l);
      if (l.empty() || l[0] == '#') continue;
      any = true;
      if (StartsNoCase(l, "preamp:"))
        Preamp(l.substr(7));
      else if (StartsNoCase(l, "graphiceq:"))
        Graphic(l.substr(10));
      else if (StartsNoCase(l, "filter"))
        Filter(l);
      else
        Fail("expected 'Preamp:', 'Filter n:', 'GraphicEQ:' or a '#' comment, found " + Quoted(l));
      if (end == text_.size()) break;
    }
    if (!any)
      throw EEQTextError(source_ + ": empty: expected a 'GraphicEQ:' line, or 'Preamp:' and 'Filter' lines");
    if (result_.Preamp < kEQTextMinGain || result_.Preamp > kEQTextMaxGain) {
      Warn(0, "the preamps add up to " + Number(result_.Preamp, 2) + " dB: clamped to -99 .. 16 dB");
      result_.Preamp = std::clamp(result_.Preamp, kEQTextMinGain, kEQTextMaxGain);
    }
    return std::move(result_);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw EEQTextError(source_ + ": line " + std::to_string(line_) + ": " + what);
  }
  void Warn(int line, const std::string& what) {
    result_.Warnings.push_back(line > 0 ? "line " + std::to_string(line) + ": " + what : what);
  }

  // what names the number ("the gain"); at, when given, the point it belongs to.
  double ParseNumber(std::string_view word, const std::string& what, const std::string& at = {}) const {
    std::string_view s = word;
    if (s.size() > 1 && s[0] == '+' && s[1] != '+' && s[1] != '-') s.remove_prefix(1);
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    const bool whole = !s.empty() && end == s.data() + s.size();
    if (!whole || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
      const auto comma = word.find(',');
      if (comma != std::string_view::npos) {
        std::string dotted(word);
        dotted[comma] = '.';
        std::string_view d = dotted;
        if (d.size() > 1 && d[0] == '+') d.remove_prefix(1);
        double x = 0;
        const auto [e2, ec2] = std::from_chars(d.data(), d.data() + d.size(), x);
        if (ec2 == std::errc() && e2 == d.data() + d.size())
          Fail(at + what + " " + Quoted(word) + " has a comma as the decimal mark: expected a point, as in " +
               Quoted(dotted));
      }
      Fail(at + "expected " + what + " (a number), found " + Quoted(word));
    }
    if (ec == std::errc::result_out_of_range || !std::isfinite(v))
      Fail(at + what + " " + Quoted(word) + " is not a finite number");
    return v;
  }

  // "# StrataEq FFT length: N": the length the curve was exported at. Other comments,
  // and lengths that are no power of two from 16 to 4096, are comments.
  void FFTComment(std::string_view l) {
    constexpr std::string_view kKey = "StrataEq FFT length:";
    const std::string_view body = Trim(l.substr(1));
    if (!StartsNoCase(body, kKey)) return;
    const std::string_view v = Trim(body.substr(kKey.size()));
    int n = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec == std::errc() && end == v.data() + v.size() && n >= 16 && n <= 4096 && (n & (n - 1)) == 0)
      result_.FFTLength = n;
  }

  void Preamp(std::string_view rest) {
    result_.HasPreamp = true;
    const auto w = Words(rest);
    if (w.empty()) Fail("expected the preamp in dB after 'Preamp:'");
    result_.Preamp += ParseNumber(w[0], "the preamp in dB");
    if (w.size() > 2 || (w.size() == 2 && !EqualNoCase(w[1], "dB")))
      Fail("expected 'dB' or the end of the line after the preamp, found " + Quoted(w[1]));
  }

  void Graphic(std::string_view rest) {
    if (graphicLine_ != 0)
      Fail("a second GraphicEQ line: expected one (the first is line " + std::to_string(graphicLine_) + ")");
    graphicLine_ = line_;
    std::vector<std::string_view> pairs;
    std::size_t pos = 0;
    for (;;) {
      const std::size_t semi = rest.find(';', pos);
      pairs.push_back(Trim(rest.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos)));
      if (semi == std::string_view::npos) break;
      pos = semi + 1;
    }
    if (pairs.size() > 1 && pairs.back().empty()) pairs.pop_back();  // a closing semicolon
    if (pairs.size() > kEQTextMaxPoints)
      Fail(std::to_string(pairs.size()) + " points: expected at most " + std::to_string(kEQTextMaxPoints));
    std::vector<TEQTextPoint> points;
    points.reserve(pairs.size());
    int dropped = 0, clamped = 0;
    std::string firstDropped, firstClamped;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const std::string at = "point " + std::to_string(i + 1) + ": ";
      const auto w = Words(pairs[i]);
      if (w.empty()) Fail(at + "empty: expected a frequency and a gain between two semicolons");
      if (w.size() == 1) Fail(at + "expected a frequency and a gain separated by a space, found " + Quoted(w[0]));
      if (w.size() > 2) {
        if (w.size() % 2 == 0)
          Fail(at + "expected ';' after " + Quoted(std::string(w[0]) + " " + std::string(w[1])) + ", found " +
               Quoted(w[2]));
        Fail(at + "expected a frequency and a gain, found " + Quoted(pairs[i]));
      }
      TEQTextPoint p{ParseNumber(w[0], "the frequency", at), ParseNumber(w[1], "the gain", at)};
      if (p.Frequency <= lastFrequency_)
        Fail(at + Number(p.Frequency, 2) + " Hz does not rise above the previous point's " +
             Number(lastFrequency_, 2) + " Hz");
      lastFrequency_ = p.Frequency;
      if (p.Frequency < kEQTextMinFrequency || p.Frequency > nyquist_) {
        if (dropped++ == 0) firstDropped = Number(p.Frequency, 2);
        continue;
      }
      if (p.Gain < kEQTextMinGain || p.Gain > kEQTextMaxGain) {
        if (clamped++ == 0) firstClamped = Number(p.Gain, 2) + " dB at " + Number(p.Frequency, 2) + " Hz";
        p.Gain = std::clamp(p.Gain, kEQTextMinGain, kEQTextMaxGain);
      }
      points.push_back(p);
    }
    if (dropped > 0)
      Warn(line_, std::to_string(dropped) + " point(s) outside 1 .. " + Number(nyquist_, 0) +
                      " Hz (half the sample rate) left out, the first at " + firstDropped + " Hz");
    if (clamped > 0)
      Warn(line_, std::to_string(clamped) + " gain(s) outside -99 .. 16 dB clamped, the first " + firstClamped);
    if (points.empty()) Fail("no point within 1 .. " + Number(nyquist_, 0) + " Hz");
    result_.Points = std::move(points);
  }

  void Filter(std::string_view l) {
    const auto colon = l.find(':');
    if (colon == std::string_view::npos) Fail("expected 'Filter n:' with a colon, found " + Quoted(l));
    const std::string_view head = Trim(l.substr(6, colon - 6));
    if (!head.empty() && !std::all_of(head.begin(), head.end(), [](char c) { return c >= '0' && c <= '9'; }))
      Fail("expected 'Filter n:' with a number n, found " + Quoted(l.substr(0, colon + 1)));
    const auto w = Words(l.substr(colon + 1));
    if (w.empty() || (!EqualNoCase(w[0], "ON") && !EqualNoCase(w[0], "OFF")))
      Fail("expected ON or OFF after " + Quoted(l.substr(0, colon + 1)) +
           (w.empty() ? std::string() : ", found " + Quoted(w[0])));
    const bool on = EqualNoCase(w[0], "ON");
    if (w.size() < 2) Fail("expected a filter type (PK, LSC or HSC) after " + Quoted(w[0]));
    TEQTextFilter f;
    f.Line = line_;
    if (EqualNoCase(w[1], "PK"))
      f.Type = TEQTextFilterType::ftPeak;
    else if (EqualNoCase(w[1], "LSC"))
      f.Type = TEQTextFilterType::ftLowShelf;
    else if (EqualNoCase(w[1], "HSC"))
      f.Type = TEQTextFilterType::ftHighShelf;
    else if (EqualNoCase(w[1], "None") && w.size() == 2)
      return;
    else
      Fail("filter type " + Quoted(w[1]) + " is not supported: expected PK, LSC or HSC");
    bool haveFc = false, haveGain = false, haveQ = false;
    for (std::size_t i = 2; i < w.size();) {
      const std::string_view key = w[i];
      bool* seen = nullptr;
      const char* unit = nullptr;
      std::string what;
      double* target = nullptr;
      if (EqualNoCase(key, "Fc")) {
        seen = &haveFc, unit = "Hz", what = "the frequency", target = &f.Frequency;
      } else if (EqualNoCase(key, "Gain")) {
        seen = &haveGain, unit = "dB", what = "the gain", target = &f.Gain;
      } else if (EqualNoCase(key, "Q")) {
        seen = &haveQ, what = "Q", target = &f.Q;
      } else {
        Fail("expected Fc, Gain or Q, found " + Quoted(key));
      }
      if (*seen) Fail(std::string(key) + " appears twice");
      *seen = true;
      if (i + 1 >= w.size()) Fail("expected " + what + " after " + Quoted(key));
      *target = ParseNumber(w[i + 1], what);
      i += 2;
      if (unit && i < w.size() && EqualNoCase(w[i], unit)) ++i;
    }
    if (!haveFc) Fail("expected 'Fc' and the filter's frequency");
    if (!haveGain) Fail("expected 'Gain' and the filter's gain in dB");
    if (f.Type == TEQTextFilterType::ftPeak && !haveQ) Fail("expected 'Q' and the width of the PK filter");
    if (!(f.Q > 0)) Fail("Q " + Number(f.Q, 3) + " is not above 0");
    if (!on) return;
    if (result_.Filters.size() >= kEQTextMaxFilters)
      Fail("more than " + std::to_string(kEQTextMaxFilters) + " filters");
    if (f.Frequency < kEQTextMinFrequency || f.Frequency >= nyquist_) {
      Warn(line_, "Fc " + Number(f.Frequency, 2) + " Hz is outside 1 .. " + Number(nyquist_, 0) +
                      " Hz (half the sample rate): filter left out");
      return;
    }
    if (f.Gain < kEQTextMinGain || f.Gain > kEQTextMaxGain) {
      Warn(line_, "gain " + Number(f.Gain, 2) + " dB clamped to -99 .. 16 dB");
      f.Gain = std::clamp(f.Gain, kEQTextMinGain, kEQTextMaxGain);
    }
    if (f.Q < kEQTextMinQ || f.Q > kEQTextMaxQ) {
      Warn(line_, "Q " + Number(f.Q, 3) + " clamped to 0.01 .. 100");
      f.Q = std::clamp(f.Q, kEQTextMinQ, kEQTextMaxQ);
    }
    result_.Filters.push_back(f);
  }

  std::string_view text_;
  const std::string& source_;
  double nyquist_;
  TEQText result_;
  int line_ = 0;
  int graphicLine_ = 0;
  double lastFrequency_ = -HUGE_VAL;
};

double BiquadDb(const TEQTextFilter& f, double frequency, double sampleRate) {
  const double a = std::pow(10.0, f.Gain / 40);
  const double w0 = 2 * std::numbers::pi * f.Frequency / sampleRate;
  const double c = std::cos(w0), alpha = std::sin(w0) / (2 * f.Q);
  const double s = 2 * std::sqrt(a) * alpha;
  double b0, b1, b2, a0, a1, a2;
  switch (f.Type) {
    case TEQTextFilterType::ftPeak:
      b0 = 1 + alpha * a, b1 = -2 * c, b2 = 1 - alpha * a;
      a0 = 1 + alpha / a, a1 = -2 * c, a2 = 1 - alpha / a;
      break;
    case TEQTextFilterType::ftLowShelf:
      b0 = a * ((a + 1) - (a - 1) * c + s), b1 = 2 * a * ((a - 1) - (a + 1) * c), b2 = a * ((a + 1) - (a - 1) * c - s);
      a0 = (a + 1) + (a - 1) * c + s, a1 = -2 * ((a - 1) + (a + 1) * c), a2 = (a + 1) + (a - 1) * c - s;
      break;
    default:
      b0 = a * ((a + 1) + (a - 1) * c + s), b1 = -2 * a * ((a - 1) + (a + 1) * c), b2 = a * ((a + 1) + (a - 1) * c - s);
      a0 = (a + 1) - (a - 1) * c + s, a1 = 2 * ((a - 1) - (a + 1) * c), a2 = (a + 1) - (a - 1) * c - s;
      break;
  }
  const std::complex<double> z1 = std::polar(1.0, -2 * std::numbers::pi * frequency / sampleRate);
  const std::complex<double> z2 = z1 * z1;
  const double mag = std::abs((b0 + b1 * z1 + b2 * z2) / (a0 + a1 * z1 + a2 * z2));
  return 20 * std::log10(std::max(mag, 1e-30));
}

}  // namespace

double TEQText::TargetDb(double frequency) const {
  double db = Preamp;
  if (!Points.empty()) {
    if (frequency <= Points.front().Frequency) {
      db += Points.front().Gain;
    } else if (frequency >= Points.back().Frequency) {
      db += Points.back().Gain;
    } else {
      const auto hi = std::upper_bound(Points.begin(), Points.end(), frequency,
                                       [](double f, const TEQTextPoint& p) { return f < p.Frequency; });
      const auto lo = hi - 1;
      const double t = std::log(frequency / lo->Frequency) / std::log(hi->Frequency / lo->Frequency);
      db += lo->Gain + t * (hi->Gain - lo->Gain);
    }
  }
  for (const TEQTextFilter& f : Filters) db += BiquadDb(f, frequency, SampleRate);
  return db;
}

std::string TEQText::Summary() const {
  std::string s;
  if (!Points.empty()) s = "GraphicEQ, " + std::to_string(Points.size()) + " points";
  if (!Filters.empty() || Points.empty()) {
    if (!s.empty()) s += ", ";
    s += "ParametricEQ, " + std::to_string(Filters.size()) + (Filters.size() == 1 ? " filter" : " filters");
  }
  if (Preamp != 0) s += ", preamp " + Number(Preamp, 2) + " dB";
  return s;
}

TEQText ParseEQText(std::string_view text, const std::string& source, double sampleRate) {
  return TParser(text, source, sampleRate).Run();
}

std::string FormatGraphicEQ(const std::vector<TEQTextPoint>& points) {
  std::string s = "GraphicEQ:";
  for (std::size_t i = 0; i < points.size(); ++i) {
    s += i == 0 ? " " : "; ";
    s += Number(points[i].Frequency, 2);
    s += ' ';
    s += Number(points[i].Gain, 2);
  }
  s += '\n';
  return s;
}

}  // namespace strataeq
