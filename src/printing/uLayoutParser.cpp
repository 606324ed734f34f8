#include "printing/uLayoutParser.h"
#include "platform/Text.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace norvane {

namespace {

// libxml2 already stops at 256 levels without XML_PARSE_HUGE; this guards the walk
// itself should that limit ever be raised.
constexpr int kMaxDepth = 300;

// External entities and DTDs are never fetched: the loader that libxml2 would call for
// them refuses everything. It is process-wide, and nothing else in the service reads XML.
xmlParserInputPtr refuse_external_entity(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

void install_entity_guard() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(&refuse_external_entity);
  });
}

const char* text_of(const xmlChar* s) { return reinterpret_cast<const char*>(s); }

bool named(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && norvane::lower_ascii(text_of(node->name)) == name;
}

// Attribute names match exactly as written; a missing attribute gives nothing.
bool attribute(const xmlNode* node, const char* name, std::string& value) {
  xmlChar* raw = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name));
  if (!raw) return false;
  value = text_of(raw);
  xmlFree(raw);
  return true;
}

std::string attribute_or(const xmlNode* node, const char* name, const std::string& fallback) {
  std::string value;
  return attribute(node, name, value) ? value : fallback;
}

bool bool_attribute(const xmlNode* node, const char* name) {
  std::string value;
  if (!attribute(node, name, value)) return false;
  value = norvane::lower_ascii(norvane::trim(value));
  return value == "true" || value == "1" || value == "yes";
}

TFontSize size_attribute(const xmlNode* node) {
  const std::string size = norvane::lower_ascii(attribute_or(node, "size", "normal"));
  if (size == "double") return fsLarge;
  if (size == "large") return fsDblHeight;
  return fsNormal;
}

int int_attribute(const xmlNode* node, const char* name, int fallback) {
  const std::string value = norvane::trim(attribute_or(node, name, ""));
  const char* first = value.data();
  if (!value.empty() && value[0] == '+') ++first;
  int result = 0;
  const auto [end, error] = std::from_chars(first, value.data() + value.size(), result);
  if (value.empty() || error != std::errc() || end != value.data() + value.size()) return fallback;
  return result;
}

// Line breaks become blanks, runs of blanks one blank, and the ends are trimmed.
std::string collapse(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    if (c == '\r' || c == '\n') c = ' ';
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out.push_back(c);
  }
  return norvane::trim(out);
}

void gather_text(const xmlNode* node, std::string& out, int depth) {
  if (depth > kMaxDepth) throw std::runtime_error("Leiaute aninhado demais.");
  for (const xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      if (child->content) out += text_of(child->content);
    } else if (child->type == XML_ELEMENT_NODE) {
      gather_text(child, out, depth + 1);
    }
    // Entity references are left out: a declared entity is never expanded.
  }
}

// The text of every descendant text node and CDATA section, flattened to one line.
std::string flattened_text(const xmlNode* node) {
  std::string raw;
  gather_text(node, raw, 0);
  return collapse(norvane::trim(raw));
}

// The content of an image element: its one text or CDATA child, or nothing. Anything
// else (child elements, comments, several nodes) is a malformed picture and fails the job.
std::string image_text(const xmlNode* node) {
  const xmlNode* child = node->children;
  if (!child) return std::string();
  if (child->next ||
      (child->type != XML_TEXT_NODE && child->type != XML_CDATA_SECTION_NODE))
    throw std::runtime_error("Elemento \"" + std::string(text_of(node->name)) +
                             "\" nao contem um unico no de texto.");
  return norvane::trim(child->content ? text_of(child->content) : "");
}

const xmlNode* last_child_named(const xmlNode* node, const char* name) {
  const xmlNode* found = nullptr;
  for (const xmlNode* child = node->children; child; child = child->next)
    if (named(child, name)) found = child;
  return found;
}

class LayoutWalker {
 public:
  explicit LayoutWalker(TReceiptBuilder& builder) : b_(builder) {}

  void Block(const xmlNode* node, int depth) {
    if (depth > kMaxDepth) throw std::runtime_error("Leiaute aninhado demais.");
    if (node->type != XML_ELEMENT_NODE) return;  // text between blocks is not printed
    const std::string name = norvane::lower_ascii(text_of(node->name));
    if (name == "receipt" || name == "header" || name == "section") {
      Children(node, depth);
    } else if (name == "center") {
      Center(node, depth);
    } else if (name == "line") {
      const bool bold = bool_attribute(node, "bold");
      b_.SetAlignment(taLeft);
      b_.SetFontSize(size_attribute(node));
      if (bold) b_.SetBold(true);
      Inline(node, depth + 1);
      b_.PrintLine("");
      if (bold) b_.SetBold(false);
      b_.SetFontSize(fsNormal);
    } else if (name == "row") {
      const xmlNode* left = last_child_named(node, "left");
      const xmlNode* right = last_child_named(node, "right");
      const bool bold = bool_attribute(node, "bold");
      b_.SetFontSize(size_attribute(node));
      b_.PrintRow(left ? flattened_text(left) : "", right ? flattened_text(right) : "", bold);
      b_.SetFontSize(fsNormal);
    } else if (name == "title") {
      const std::string text = flattened_text(node);
      b_.SetAlignment(taCenter);
      b_.SetFontSize(size_attribute(node));
      b_.SetBold(true);
      b_.PrintLine(text);
      b_.SetBold(false);
      b_.SetFontSize(fsNormal);
      b_.SetAlignment(taLeft);
    } else if (name == "inverse") {
      const std::string text = flattened_text(node);
      const bool bold = bool_attribute(node, "bold");
      b_.SetAlignment(taCenter);
      b_.SetInverse(true);
      if (bold) b_.SetBold(true);
      b_.PrintLine(text);
      if (bold) b_.SetBold(false);
      b_.SetInverse(false);
      b_.SetAlignment(taLeft);
    } else if (name == "qrcode") {
      b_.PrintQRCode(image_text(node), attribute_or(node, "title", ""));
    } else if (name == "image") {
      b_.PrintImage(image_text(node), int_attribute(node, "width", 0),
                    int_attribute(node, "height", 0));
    } else if (name == "hr") {
      b_.PrintHRule();
    } else if (name == "feed") {
      b_.PrintLineFeed(int_attribute(node, "lines", 1));
    } else if (name == "cut") {
      b_.Cut(true);
    }
    // Any other element is skipped with everything inside it.
  }

 private:
  void Children(const xmlNode* node, int depth) {
    for (const xmlNode* child = node->children; child; child = child->next)
      Block(child, depth + 1);
  }

  void Center(const xmlNode* node, int depth) {
    const bool bold = bool_attribute(node, "bold");
    b_.SetAlignment(taCenter);
    b_.SetFontSize(size_attribute(node));
    if (bold) b_.SetBold(true);
    bool has_blocks = false;
    for (const xmlNode* child = node->children; child && !has_blocks; child = child->next)
      has_blocks = child->type == XML_ELEMENT_NODE && !named(child, "bold");
    if (has_blocks)
      Children(node, depth);
    else
      b_.PrintLine(flattened_text(node));
    if (bold) b_.SetBold(false);
    b_.SetFontSize(fsNormal);
    b_.SetAlignment(taLeft);
  }

  // The content of a line: text runs on at the current position, bold switches weight
  // for its content, an image starts on a line of its own, anything else is transparent.
  void Inline(const xmlNode* node, int depth) {
    if (depth > kMaxDepth) throw std::runtime_error("Leiaute aninhado demais.");
    for (const xmlNode* child = node->children; child; child = child->next) {
      if (child->type == XML_TEXT_NODE) {
        const std::string text = collapse(child->content ? text_of(child->content) : "");
        if (!text.empty()) b_.PrintText(text + " ");
      } else if (child->type != XML_ELEMENT_NODE) {
        continue;  // CDATA, comments, entity references: nothing inside a line
      } else if (named(child, "bold")) {
        const TFontSize remembered = b_.CurrentFontSize();
        const std::string size = norvane::lower_ascii(attribute_or(child, "size", ""));
        if (size == "double") b_.SetFontSize(fsLarge);
        if (size == "large") b_.SetFontSize(fsDblHeight);
        b_.SetBold(true);
        Inline(child, depth + 1);
        b_.SetBold(false);
        b_.SetFontSize(remembered);
      } else if (named(child, "image")) {
        b_.PrintLine("");
        b_.PrintImage(image_text(child), int_attribute(child, "width", 0),
                      int_attribute(child, "height", 0));
      } else {
        Inline(child, depth + 1);
      }
    }
  }

  TReceiptBuilder& b_;
};

bool blank_only(const xmlChar* content) {
  for (const xmlChar* p = content; p && *p; ++p)
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return false;
  return true;
}

// Layout files are written indented. Their first reader dropped the text nodes made only
// of blanks and line breaks, and libxml2 keeps them: left in, the indentation around the
// CDATA of a <qrcode> would make it three nodes and fail the whole job. CDATA sections
// stay, whatever they hold.
void drop_blank_text(xmlNode* node, int depth) {
  if (depth > kMaxDepth) throw std::runtime_error("Leiaute aninhado demais.");
  for (xmlNode* child = node->children; child;) {
    xmlNode* next = child->next;
    if (child->type == XML_TEXT_NODE && blank_only(child->content)) {
      xmlUnlinkNode(child);
      xmlFreeNode(child);
    } else if (child->type == XML_ELEMENT_NODE) {
      drop_blank_text(child, depth + 1);
    }
    child = next;
  }
}

std::string xml_error_message(xmlParserCtxtPtr ctxt) {
  const xmlError* error = xmlCtxtGetLastError(ctxt);
  if (!error || !error->message) return "XML invalido.";
  return "XML invalido (linha " + std::to_string(error->line) + "): " + norvane::trim(error->message);
}

}  // namespace

void TLayoutParser::ParseFile(const std::string& AArquivo) {
  std::error_code ec;
  if (!std::filesystem::exists(AArquivo, ec))
    throw std::runtime_error("Arquivo de leiaute nao encontrado: " + AArquivo);
  const auto size = std::filesystem::file_size(AArquivo, ec);
  if (ec) throw std::runtime_error("Falha ao ler o arquivo de leiaute: " + AArquivo);
  if (size > kMaxLayoutBytes)
    throw std::runtime_error("Arquivo de leiaute grande demais (" + std::to_string(size) +
                             " bytes): " + AArquivo);
  std::ifstream in(AArquivo, std::ios::binary);
  std::string bytes(size, '\0');
  if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(size)))
    throw std::runtime_error("Falha ao ler o arquivo de leiaute: " + AArquivo);
  // The file's own declaration or byte-order mark tells its encoding.
  ParseBuffer(bytes, AArquivo.c_str(), nullptr);
}

void TLayoutParser::ParseXML(const std::string& AXML) {
  if (norvane::trim(AXML).empty()) throw std::runtime_error("Conteudo XML vazio.");
  if (AXML.size() > kMaxLayoutBytes)
    throw std::runtime_error("Conteudo XML grande demais (" + std::to_string(AXML.size()) +
                             " bytes).");
  ParseBuffer(AXML, nullptr, "UTF-8");
}

void TLayoutParser::ParseBuffer(const std::string& ABytes, const char* AUrl,
                                const char* AEncoding) {
  install_entity_guard();
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) throw std::runtime_error("Sem memoria para ler o leiaute.");
  // No network, no DTD loading, no entity substitution, and libxml2's default limits on
  // depth and node sizes (no XML_PARSE_HUGE): entity bombs and external entities fail.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, ABytes.data(), static_cast<int>(ABytes.size()), AUrl,
                                    AEncoding, options);
  if (!doc) {
    const std::string message = xml_error_message(ctxt);
    xmlFreeParserCtxt(ctxt);
    throw std::runtime_error(message);
  }
  xmlFreeParserCtxt(ctxt);
  struct DocOwner {
    xmlDocPtr d;
    ~DocOwner() { xmlFreeDoc(d); }
  } owner{doc};
  xmlNode* root = xmlDocGetRootElement(doc);
  if (!root) throw std::runtime_error("XML invalido: documento sem elemento raiz.");
  drop_blank_text(root, 0);
  LayoutWalker(FBuilder).Block(root, 0);
}

}  // namespace norvane
