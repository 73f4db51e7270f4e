// Writes the benchmark corpora, the same bytes on every machine and every run.
//
//   corpus tree FOLDER FILES TOTAL_BYTES   a nested tree of text-like files
//                                          (source code, logs, prose) with a
//                                          few incompressible binary files
//   corpus big FILE BYTES                  one file: compressible text and
//                                          incompressible runs, mixed
//   corpus noise FOLDER TOTAL_BYTES        incompressible files (random bytes)
//                                          of 100 KB to 8 MB, as photos, videos
//                                          and archives are to deflate
//
// The text is generated from a fixed vocabulary with skewed word choice, so
// deflate finds repeats the way it does in real source trees and logs (about
// 3-5x at level 6), and incompressible data comes from the same seeded
// generator.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {  // splitmix64
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // 0 <= below(n) < n
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }
  double unit() { return (next() >> 11) * (1.0 / 9007199254740992.0); }
  bool chance(double p) { return unit() < p; }
  // Skewed towards small ranks: rank r comes up about as often as 1/r.
  size_t skewed(size_t n) {
    size_t r = static_cast<size_t>(std::exp(unit() * std::log(static_cast<double>(n) + 1))) - 1;
    return r < n ? r : n - 1;
  }
  // Log-uniform between lo and hi.
  double log_uniform(double lo, double hi) {
    return std::exp(std::log(lo) + unit() * (std::log(hi) - std::log(lo)));
  }

 private:
  uint64_t state_;
};

const char* const kSyllables[] = {
    "al", "be", "con", "de", "er", "fi", "gen", "ha", "in", "jo", "ka", "li", "man", "no",
    "or", "pro", "qu", "re", "st", "ti", "un", "ver", "wa", "x", "yo", "ze", "ba", "ce",
    "da", "el", "for", "ge", "hi", "id", "ja", "ke", "lo", "mo", "ne", "op", "pa", "ra",
    "se", "to", "ur", "va", "we", "ex", "ly", "zo", "ch", "sh", "th", "ing", "ed", "ion"};

const char* const kKeywords[] = {"if",     "else",  "return", "for",    "while", "const",
                                 "static", "void",  "int",    "struct", "class", "def",
                                 "end",    "self",  "nil",    "true",   "false", "new",
                                 "break",  "case",  "switch", "import", "from",  "let"};

const char* const kLevels[] = {"INFO ", "INFO ", "INFO ", "DEBUG", "DEBUG", "WARN ", "ERROR"};

class TextMaker {
 public:
  explicit TextMaker(uint64_t seed) : rng_(seed) {
    Random vocab_rng(0x5eed);  // the vocabulary is the same for every file
    for (int i = 0; i < 6000; ++i) {
      std::string word;
      const int parts = 1 + static_cast<int>(vocab_rng.below(3));
      for (int p = 0; p < parts; ++p) word += kSyllables[vocab_rng.below(std::size(kSyllables))];
      words_.push_back(word);
    }
  }

  Random& rng() { return rng_; }

  // Each file mostly uses its own small set of words, the way a source file
  // keeps naming the same few things.
  void start_file() {
    local_.clear();
    for (int i = 0; i < 120; ++i) local_.push_back(&words_[rng_.skewed(words_.size())]);
    messages_.clear();
    for (int i = 0; i < 30; ++i) {
      std::string m;
      for (int n = 2 + static_cast<int>(rng_.below(6)); n > 0; --n) {
        m += word();
        m += ' ';
      }
      messages_.push_back(m);
    }
  }

  // Appends text of one style to `out` until it holds at least `size` bytes.
  void append(std::string& out, size_t size, int style) {
    while (out.size() < size) {
      switch (style) {
        case 0: source_line(out); break;
        case 1: log_line(out); break;
        default: prose_line(out); break;
      }
    }
  }

 private:
  const std::string& word() {
    if (!local_.empty() && rng_.chance(0.85)) return *local_[rng_.skewed(local_.size())];
    return words_[rng_.skewed(words_.size())];
  }

  void identifier(std::string& out) {
    out += word();
    if (rng_.chance(0.5)) {
      out += rng_.chance(0.5) ? "_" : "";
      std::string second = word();
      if (out.back() != '_') second[0] = static_cast<char>(second[0] - 32);
      out += second;
    }
  }

  void number(std::string& out) {
    out += std::to_string(rng_.chance(0.7) ? rng_.below(16) : rng_.below(100000));
  }

  void source_line(std::string& out) {
    if (rng_.chance(0.12)) {  // blank line or closing brace
      if (indent_ > 0 && rng_.chance(0.6)) {
        --indent_;
        out.append(indent_ * 2, ' ');
        out += "}\n";
      } else {
        out += "\n";
      }
      return;
    }
    out.append(indent_ * 2, ' ');
    switch (rng_.below(7)) {
      case 0:
        out += "if (";
        identifier(out);
        out += rng_.chance(0.5) ? " == " : " < ";
        identifier(out);
        out += ") {\n";
        if (indent_ < 6) ++indent_;
        return;
      case 1:
        out += "// ";
        for (int n = 3 + static_cast<int>(rng_.below(9)); n > 0; --n) {
          out += word();
          out += ' ';
        }
        out.back() = '\n';
        return;
      case 2:
        out += kKeywords[rng_.skewed(std::size(kKeywords))];
        out += ' ';
        identifier(out);
        out += "(";
        for (int n = static_cast<int>(rng_.below(4)); n > 0; --n) {
          identifier(out);
          if (n > 1) out += ", ";
        }
        out += ") {\n";
        if (indent_ < 6) ++indent_;
        return;
      case 3:
        out += "return ";
        identifier(out);
        out += ";\n";
        return;
      default:
        identifier(out);
        out += " = ";
        identifier(out);
        out += rng_.chance(0.5) ? "." : "->";
        identifier(out);
        out += "(";
        identifier(out);
        out += ", ";
        number(out);
        out += ");\n";
        return;
    }
  }

  void log_line(std::string& out) {
    clock_ += rng_.below(2500);
    char stamp[64];
    const uint64_t ms = clock_ % 1000, s = clock_ / 1000;
    std::snprintf(stamp, sizeof stamp, "2024-%02u-%02u %02u:%02u:%02u.%03u ",
                  static_cast<unsigned>(1 + (s / 2592000) % 12),
                  static_cast<unsigned>(1 + (s / 86400) % 28),
                  static_cast<unsigned>((s / 3600) % 24), static_cast<unsigned>((s / 60) % 60),
                  static_cast<unsigned>(s % 60), static_cast<unsigned>(ms));
    out += stamp;
    out += kLevels[rng_.below(std::size(kLevels))];
    out += " [";
    out += words_[rng_.skewed(40)];
    out += '.';
    out += words_[rng_.skewed(200)];
    out += "] ";
    out += messages_.empty() ? word() + " " : messages_[rng_.skewed(messages_.size())];
    out += "id=";
    char hex[24];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(rng_.next() & 0xfffff));
    out += hex;
    out += " took=";
    number(out);
    out += "ms\n";
  }

  void prose_line(std::string& out) {
    for (int n = 6 + static_cast<int>(rng_.below(10)); n > 0; --n) {
      out += word();
      out += rng_.chance(0.08) ? ", " : " ";
    }
    out.back() = '.';
    out += rng_.chance(0.3) ? "\n\n" : "\n";
  }

  Random rng_;
  std::vector<std::string> words_;
  std::vector<const std::string*> local_;
  std::vector<std::string> messages_;
  int indent_ = 0;
  uint64_t clock_ = 0;
};

bool write_file(const std::string& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

void random_bytes(Random& rng, std::string& out, size_t size) {
  const size_t start = out.size();
  out.resize(start + size);
  for (size_t i = start; i < out.size(); i += 8) {
    const uint64_t v = rng.next();
    std::memcpy(&out[i], &v, std::min<size_t>(8, out.size() - i));
  }
}

int make_tree(const std::string& root, size_t file_count, double total_bytes) {
  Random rng(42);
  TextMaker text(7);
  // Folders: a random tree, depth first, fewer children deeper down.
  std::vector<std::string> folders{root};
  std::vector<int> depth{0};
  for (size_t i = 0; i < folders.size() && folders.size() < file_count / 12 + 2; ++i) {
    const int children = depth[i] == 0 ? 8 : static_cast<int>(rng.below(8 - depth[i]));
    for (int c = 0; c < children; ++c) {
      folders.push_back(folders[i] + "/" + std::to_string(c) + "_" +
                        kSyllables[rng.below(std::size(kSyllables))] +
                        kSyllables[rng.below(std::size(kSyllables))]);
      depth.push_back(depth[i] + 1);
    }
  }
  for (const std::string& f : folders) {
    if (::mkdir(f.c_str(), 0755) != 0 && errno != EEXIST) {
      std::perror(f.c_str());
      return 1;
    }
  }
  // File sizes: many small ones, a few large ones, scaled to total_bytes.
  std::vector<double> sizes(file_count);
  double sum = 0;
  for (double& s : sizes) {
    s = rng.chance(0.003) ? rng.log_uniform(512 * 1024, 4 * 1024 * 1024)
                          : rng.log_uniform(4, 96 * 1024);
    sum += s;
  }
  const double scale = total_bytes / sum;
  const char* const kText[] = {".c", ".h", ".rb", ".py", ".js", ".go", ".java", ".log", ".txt",
                               ".md"};
  const char* const kBinary[] = {".png", ".jpg", ".gz", ".bin"};
  std::string data;
  for (size_t i = 0; i < file_count; ++i) {
    const size_t size = static_cast<size_t>(sizes[i] * scale);
    const bool binary = rng.chance(0.05);
    const std::string& folder = folders[rng.below(folders.size())];
    std::string name = folder + "/" + std::to_string(i) + "_" +
                       kSyllables[rng.below(std::size(kSyllables))] +
                       kSyllables[rng.below(std::size(kSyllables))];
    data.clear();
    if (binary) {
      name += kBinary[rng.below(std::size(kBinary))];
      random_bytes(rng, data, size);
    } else {
      const size_t ext = rng.below(std::size(kText));
      name += kText[ext];
      text.start_file();
      text.append(data, size, ext == 7 ? 1 : ext >= 8 ? 2 : 0);
      data.resize(size);
    }
    if (!write_file(name, data)) {
      std::perror(name.c_str());
      return 1;
    }
  }
  return 0;
}

int make_big(const std::string& path, uint64_t total) {
  Random rng(1234);
  TextMaker text(99);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    return 1;
  }
  std::string data;
  for (uint64_t written = 0; written < total;) {
    // Runs of 64 KiB to 8 MiB; about a quarter of the bytes incompressible.
    uint64_t run = static_cast<uint64_t>(rng.log_uniform(64 * 1024, 8 * 1024 * 1024));
    run = std::min(run, total - written);
    data.clear();
    if (rng.chance(0.25)) {
      random_bytes(rng, data, run);
    } else {
      text.start_file();
      text.append(data, run, static_cast<int>(rng.below(3)));
      data.resize(run);
    }
    if (std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
      std::perror(path.c_str());
      return 1;
    }
    written += run;
  }
  return std::fclose(f) == 0 ? 0 : 1;
}

int make_noise(const std::string& folder, uint64_t total) {
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(folder.c_str());
    return 1;
  }
  Random rng(2718);
  std::string data;
  // Log-uniform sizes, until the next file would pass the total.
  for (uint64_t written = 0, i = 0;; ++i) {
    const uint64_t size = static_cast<uint64_t>(rng.log_uniform(100e3, 8e6));
    if (written + size > total && i > 0) break;
    data.clear();
    random_bytes(rng, data, size);
    const std::string name = folder + "/" + std::to_string(i) + ".bin";
    if (!write_file(name, data)) {
      std::perror(name.c_str());
      return 1;
    }
    written += size;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "tree" && argc == 5) {
    return make_tree(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtod(argv[4], nullptr));
  }
  if (mode == "big" && argc == 4) return make_big(argv[2], std::strtoull(argv[3], nullptr, 10));
  if (mode == "noise" && argc == 4) return make_noise(argv[2], std::strtoull(argv[3], nullptr, 10));
  std::fprintf(stderr,
               "usage: corpus tree FOLDER FILES TOTAL_BYTES | corpus big FILE BYTES | "
               "corpus noise FOLDER TOTAL_BYTES\n");
  return 2;
}
