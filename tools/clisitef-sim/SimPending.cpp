#include "SimPending.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "SimSettings.h"

namespace clisitef_sim {
namespace {

std::string path_of(const std::string& file) {
  return !file.empty() && file[0] == '/' ? file : library_folder() + file;
}

// One sale a line, its fields separated by tabs; tabs, line feeds and backslashes inside
// a field (the receipts have line feeds) are escaped.
std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

void replace_file(const std::string& file, const std::string& bytes);

}  // namespace

std::vector<Sale> read_pending(const std::string& file) {
  std::vector<Sale> sales;
  std::ifstream in(path_of(file), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = split_tabs(line);
    if (f.size() != 7) continue;  // a line of some other program: not a sale of ours
    Sale sale;
    try {
      sale.function = std::stoi(f[0]);
      sale.cents = std::stoll(f[4]);
    } catch (const std::exception&) {
      continue;
    }
    sale.document = unescape(f[1]);
    sale.date = unescape(f[2]);
    sale.nsu = unescape(f[3]);
    sale.receipt_customer = unescape(f[5]);
    sale.receipt_store = unescape(f[6]);
    sales.push_back(sale);
  }
  return sales;
}

void write_pending(const std::string& file, const std::vector<Sale>& sales) {
  std::ostringstream text;
  for (const Sale& s : sales)
    text << s.function << '\t' << escape(s.document) << '\t' << escape(s.date) << '\t'
         << escape(s.nsu) << '\t' << s.cents << '\t' << escape(s.receipt_customer) << '\t'
         << escape(s.receipt_store) << '\n';
  replace_file(file, text.str());
}

std::vector<Settled> read_settled(const std::string& file) {
  std::vector<Settled> sales;
  std::ifstream in(path_of(file), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = split_tabs(line);
    if (f.size() != 3 && f.size() != 4) continue;  // three fields: a file written before the date was kept
    sales.push_back({unescape(f[0]), unescape(f[1]), unescape(f[2]), f.size() == 4 ? unescape(f[3]) : std::string()});
  }
  return sales;
}

void write_settled(const std::string& file, const std::vector<Settled>& sales) {
  std::ostringstream text;
  const size_t from = sales.size() > kSettledKept ? sales.size() - kSettledKept : 0;
  for (size_t i = from; i < sales.size(); ++i)
    text << escape(sales[i].document) << '\t' << escape(sales[i].nsu) << '\t' << escape(sales[i].outcome) << '\t'
         << escape(sales[i].date) << '\n';
  replace_file(file, text.str());
}

namespace {

// Replaces a file whole: a new file renamed over the old one.
void replace_file(const std::string& file, const std::string& bytes) {
  const std::string path = path_of(file);
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  if (done == bytes.size()) std::rename(temporary.c_str(), path.c_str());
  else ::unlink(temporary.c_str());
}

}  // namespace

}  // namespace clisitef_sim
