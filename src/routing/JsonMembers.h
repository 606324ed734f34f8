#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

// The members at the top level of a JSON object text, read without building the whole
// value. A string member without escapes is handed as a view into the text, so a document
// of tens of megabytes carried in one member is never copied; parsing it into a JSON value
// would copy it three times over and take most of the time of its request.
//
// The text is one the router has already parsed whole (parse_json_text), so this reader
// only finds where members begin and end; what it cannot read it refuses.
class TJsonMembers {
 public:
  // False when the text is not an object it can read.
  bool Parse(std::string_view text);
  // The member's text as GetJsonField gives it (a string as it is, a number as its JSON
  // text, and so on), a view into the text or into storage. A missing member raises the
  // missing-member error of GetJsonField; a string it cannot decode, "Mensagem inválida.".
  std::string_view Field(const std::string& name, std::string& storage) const;

 private:
  std::vector<std::pair<std::string, std::string_view>> members_;  // the first of a name counts
};

}  // namespace norvane
