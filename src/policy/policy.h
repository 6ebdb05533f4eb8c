// Policy compilation: source text to the intent table an engine holds.
//
// Lexes, parses and checks the source, then keeps only the intent
// declarations, indexed by name (a later declaration replaces an earlier one
// of the same name). The first error of any stage is returned unchanged.
// A compiled Policy is immutable and may be read by any number of threads.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "conscience/verdict.h"
#include "lexer/diagnostics.h"
#include "parser/ast.h"
#include "verification/precondition.h"

namespace ordel {

// One entry of the intent table: the declaration as the parser built it,
// plus what verification derives from it once instead of on every call.
struct PolicyIntent {
  IntentDecl decl;
  EffectClass effect = EffectClass::Noop;
  RegexTable regexes;  // literal patterns of the pre-conditions
};

struct StringHash {
  using is_transparent = void;
  [[nodiscard]] std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

class Policy {
 public:
  // Exact, case-sensitive lookup; nullptr when the name is not declared.
  [[nodiscard]] const PolicyIntent* find(std::string_view name) const noexcept;
  // Every intent name once, in the table's (unspecified) order.
  [[nodiscard]] std::vector<std::string> names() const;
  [[nodiscard]] std::size_t size() const noexcept { return intents_.size(); }

 private:
  friend Result<Policy> compile_policy(std::string_view source);

  // Entries are heap-held so their addresses (which the regex tables key on)
  // never change.
  std::unordered_map<std::string, std::unique_ptr<const PolicyIntent>, StringHash,
                     std::equal_to<>>
      intents_;
};

[[nodiscard]] Result<Policy> compile_policy(std::string_view source);

}  // namespace ordel
