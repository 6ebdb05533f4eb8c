// The pre-condition evaluator: a small interpreter over syntax-tree
// expressions and the caller's fields.
//
// Field values are texts, read as numbers or flags only where an operator
// asks for one. Several expression kinds simply count as true. Evaluation
// reads only the expression, the fields and an optional table of regular
// expressions prepared when the policy was compiled; it keeps no state and
// may run on any number of threads at once.
#pragma once

#include <re2/re2.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "conscience/fields.h"
#include "lexer/diagnostics.h"
#include "parser/ast.h"

namespace ordel {

// Regular expressions of `matches` calls whose pattern is a string literal,
// compiled once. Evaluation looks a pattern node up here and compiles at
// evaluation time only what is not found, so both paths give the same
// results and the same error texts.
class RegexTable {
 public:
  RegexTable() = default;

  // Prepares every literal pattern of `matches` calls in `expressions`.
  // The expressions must stay at their addresses while the table is used.
  void prepare(const std::vector<Expr>& expressions);

  struct Entry {
    const Expr* pattern = nullptr;
    std::unique_ptr<RE2> regex;  // compiled successfully, or holds the error
  };
  // The entry for a pattern node, or nullptr.
  [[nodiscard]] const RE2* find(const Expr* pattern) const noexcept;

 private:
  void prepare_expr(const Expr& expr);
  std::vector<Entry> entries_;
};

struct EvalContext {
  const FieldMap& fields;
  const RegexTable* regexes = nullptr;
};

[[nodiscard]] Result<bool> eval_bool(const Expr& expr, const EvalContext& context);
// The text of an expression. Literal and field texts are returned as views
// of the policy or of the caller's fields; a text built during evaluation
// (a number's decimal form, a debug rendering) is written into `scratch`
// and the view points there.
[[nodiscard]] Result<std::string_view> eval_text(const Expr& expr, const EvalContext& context,
                                                 std::string& scratch);
[[nodiscard]] Result<std::int64_t> eval_number(const Expr& expr, const EvalContext& context);

// The options every pattern is compiled with: UTF-8, Perl-style syntax,
// and no logging (RE2 would otherwise print parse errors to stderr).
[[nodiscard]] RE2::Options regex_options();

}  // namespace ordel
