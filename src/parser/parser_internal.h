// The parser's machinery, shared by the parse_*.cpp files: the token source,
// the Parser class with its helpers and the nesting-depth bookkeeping.
//
// Not part of the public interface; include parser/parser.h instead.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lexer/diagnostics.h"
#include "lexer/lexer.h"
#include "lexer/token.h"
#include "parser/ast.h"
#include "parser/parser.h"

namespace ordel::parser_internal {

// Hands the parser one token at a time, either from a complete token list or
// straight from a lexer, so both entry points share one parser. Past the end
// of input it yields the end-of-input token with an all-zero span.
//
// In lexer mode a lexical error is kept aside and the source then behaves as
// if the input had ended: the parser winds down on end-of-input, and the
// caller reports the kept error, which takes precedence over anything the
// parser concluded.
class TokenSource {
 public:
  explicit TokenSource(std::span<const Token> tokens) noexcept : tokens_(tokens) {}
  explicit TokenSource(Lexer& lexer) noexcept : lexer_(&lexer) {}

  // Writes the next token into `out`.
  void next_into(Token& out) {
    if (lexer_ != nullptr && !lexer_done_) [[likely]] {
      if (lexer_->next_into(out)) [[likely]] {
        lexer_done_ = out.kind == TokenKind::Eof;
        return;
      }
      keep_lexical_error(out);
      return;
    }
    next_listed(out);
  }

  // Lexer mode: pulls the remaining tokens to the end of input and returns
  // the first lexical error of the whole source, if any.
  [[nodiscard]] std::optional<PolicyError> finish();

 private:
  // Token-list mode, and lexer mode after the end of input.
  void next_listed(Token& out);
  [[gnu::cold]] void keep_lexical_error(Token& out);

  std::span<const Token> tokens_;
  std::size_t index_ = 0;
  Lexer* lexer_ = nullptr;
  bool lexer_done_ = false;  // the lexer produced its end-of-input token or an error
  std::optional<PolicyError> lexical_error_;
};

// Binding powers of the infix operators, loosest first. Zero marks a token
// that is not an infix operator.
struct InfixRule {
  std::uint8_t power = 0;
  bool pipeline = false;  // `|>` builds a Pipeline node instead of a Binary one
  BinaryOp op = BinaryOp::Add;
};

inline constexpr std::size_t kTokenKindCount = kTokenKindTexts.size();

inline constexpr std::array<InfixRule, kTokenKindCount> kInfixRules = [] {
  std::array<InfixRule, kTokenKindCount> rules{};
  const auto set = [&](TokenKind kind, std::uint8_t power, bool pipeline, BinaryOp op) {
    rules[static_cast<std::size_t>(kind)] = InfixRule{power, pipeline, op};
  };
  set(TokenKind::Pipe, 1, true, BinaryOp::Add);
  set(TokenKind::OrOr, 2, false, BinaryOp::Or);
  set(TokenKind::AndAnd, 3, false, BinaryOp::And);
  set(TokenKind::EqEq, 4, false, BinaryOp::Eq);
  set(TokenKind::NotEq, 4, false, BinaryOp::NotEq);
  set(TokenKind::Lt, 5, false, BinaryOp::Lt);
  set(TokenKind::Gt, 5, false, BinaryOp::Gt);
  set(TokenKind::LtEq, 5, false, BinaryOp::LtEq);
  set(TokenKind::GtEq, 5, false, BinaryOp::GtEq);
  set(TokenKind::Plus, 6, false, BinaryOp::Add);
  set(TokenKind::Minus, 6, false, BinaryOp::Sub);
  set(TokenKind::Star, 7, false, BinaryOp::Mul);
  set(TokenKind::Slash, 7, false, BinaryOp::Div);
  set(TokenKind::Percent, 7, false, BinaryOp::Mod);
  return rules;
}();
static_assert(kInfixRules.size() == static_cast<std::size_t>(TokenKind::Eof) + 1);

[[nodiscard]] constexpr const InfixRule& infix_rule(TokenKind kind) noexcept {
  return kInfixRules[static_cast<std::size_t>(kind)];
}

// A stack of elements for building lists of exact length (see Parser).
template <typename T>
class ScratchStack {
 public:
  [[nodiscard]] std::size_t mark() const noexcept { return items_.size(); }
  void push(T&& item) { items_.push_back(std::move(item)); }
  // Appends the elements pushed since `mark` to `out` and removes them.
  void move_since(std::size_t mark, std::vector<T>& out) {
    const auto first = items_.begin() + static_cast<std::ptrdiff_t>(mark);
    if (out.empty()) {
      out.assign(std::make_move_iterator(first), std::make_move_iterator(items_.end()));
    } else {
      out.insert(out.end(), std::make_move_iterator(first), std::make_move_iterator(items_.end()));
    }
    items_.erase(first, items_.end());
  }

 private:
  std::vector<T> items_;
};

// Recursive-descent parser over a TokenSource with one token of look-ahead
// (the current token). The first error ends the parse; afterwards the parser
// is discarded, so its bookkeeping need not be restored on error paths.
//
// Nesting depth. `depth_` counts the nesting levels open on the way down:
// each expression, prefix operator, block and type holds one through a
// DepthGuard. Left-associative chains (binary operators, postfix `.` and
// `[]`) build their tree upwards, so the chain's operand read first ends up
// deepest; for them the parser tracks the height of the tree built so far
// and charges it on top of the chain's starting depth; right operands and
// indexes are read one level below that start. `peak_` is the deepest level
// reached since the innermost chain began reading its current operand, which
// is how a chain learns the height of an operand. Together these bound
// both the parser's own recursion and the depth of every tree it returns by
// kMaxNestingDepth, so later stages can walk the tree recursively.
class Parser {
 public:
  explicit Parser(TokenSource& source) : source_(source) { source_.next_into(current_); }

  // module -> attributes "module" identifier "{" { attributes declaration } "}"
  [[nodiscard]] Result<Module> parse_module();

 private:
  // Holds one nesting level for its lifetime.
  class DepthGuard {
   public:
    explicit DepthGuard(Parser& parser) noexcept : parser_(parser) {
      ++parser_.depth_;
      parser_.peak_ = std::max(parser_.peak_, parser_.depth_);
    }
    ~DepthGuard() { --parser_.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    Parser& parser_;
  };

  // ---- helpers (parse_module.cpp) ----
  [[nodiscard]] bool peek(TokenKind kind) const noexcept { return current_.kind == kind; }
  [[nodiscard]] bool at_end() const noexcept { return current_.kind == TokenKind::Eof; }
  void advance() { source_.next_into(current_); }
  // Moves past the current token if it is of `kind`.
  [[nodiscard]] Result<void> expect(TokenKind kind) {
    if (current_.kind != kind) [[unlikely]] {
      return fail_missing(token_kind_text(kind));
    }
    advance();
    return {};
  }
  // An identifier's text (a view of the source) and span.
  struct Word {
    std::string_view lexeme;
    Span span;
  };
  // Moves past the current token if it is an identifier and returns it.
  [[nodiscard]] Result<Word> identifier() {
    if (current_.kind != TokenKind::Identifier) [[unlikely]] {
      return fail_missing_word("identifier");
    }
    const Word word{current_.lexeme, current_.span};
    advance();
    return word;
  }
  // MaxDepthExceeded at `at` when the open levels plus `extra` cross the limit.
  [[nodiscard]] Result<void> check_depth(std::size_t extra, const Span& at) const {
    if (depth_ + extra > kMaxNestingDepth) [[unlikely]] {
      return fail_depth(at);
    }
    return {};
  }
  // The failures, all at the current token except fail_depth. They are kept
  // out of line so the recursive productions' frames stay small.
  // UnexpectedToken "Expected {what}, found '{found}'".
  [[gnu::cold, gnu::noinline]] std::unexpected<PolicyError> fail_expected(
      std::string_view what) const;
  // ExpectedToken "Expected '{expected}', found '{found}'".
  [[gnu::cold, gnu::noinline]] std::unexpected<PolicyError> fail_missing(
      std::string_view expected) const;
  // ExpectedToken "Expected {what}, found '{found}'" with an unquoted `what`.
  [[gnu::cold, gnu::noinline]] std::unexpected<PolicyError> fail_missing_word(
      std::string_view what) const;
  [[gnu::cold, gnu::noinline]] static std::unexpected<PolicyError> fail_depth(const Span& at);

  // The productions below build their node in place, in the object the
  // caller passes: a node is never assembled elsewhere and moved down the
  // call chain. On failure the object is left partly built; the caller
  // discards it with the whole parse.

  // ---- module and declarations (parse_module.cpp) ----
  [[nodiscard]] Result<std::vector<Attribute>> parse_attributes();
  [[nodiscard]] Result<void> parse_declaration(Declaration& out,
                                               std::vector<Attribute> attributes);
  [[nodiscard]] Result<void> parse_import(ImportDecl& out);
  [[nodiscard]] Result<void> parse_function(FunctionDecl& out);
  // The names of `contract A = B + C;` or `intent A = B >> C;`, after "=".
  [[nodiscard]] Result<void> parse_composition(TokenKind separator, std::vector<std::string>& out);
  [[nodiscard]] Result<void> parse_contract(ContractDecl& out);
  [[nodiscard]] Result<void> parse_contract_field(ContractField& out);
  [[nodiscard]] Result<void> parse_tensor_op(TensorOpDecl& out);
  [[nodiscard]] Result<void> parse_intent(IntentDecl& out);
  [[nodiscard]] Result<void> parse_intent_clause(IntentDecl& intent);
  [[nodiscard]] Result<void> parse_clause_expressions(std::vector<Expr>& target);
  [[nodiscard]] Result<void> parse_bound_entries(std::vector<IntentBound>& out);
  [[nodiscard]] Result<void> skip_unknown_clause();
  [[nodiscard]] Result<void> parse_enum(EnumDecl& out);
  [[nodiscard]] Result<void> parse_param_list(std::vector<Param>& out, TokenKind closing);

  // Every production on a recursive path below is kept in its own frame
  // (noinline), so a level of nesting pays only for the frames on its own
  // path rather than for every alternative inlined into a dispatcher.

  // ---- blocks, statements, patterns (parse_statements.cpp) ----
  [[gnu::noinline, nodiscard]] Result<void> parse_block(Block& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_statement(Stmt& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_let(Stmt& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_if(Stmt& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_loop(Stmt& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_return(Stmt& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_match(Stmt& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_match_arm(MatchArm& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_expression_statement(Stmt& out);
  [[nodiscard]] Result<void> parse_pattern(Pattern& out);

  // ---- expressions (parse_expressions.cpp) ----
  [[gnu::noinline, nodiscard]] Result<void> parse_expression(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_binary(Expr& out, std::uint8_t min_power);
  // A dispatcher without locals: inlined into its two callers.
  [[gnu::always_inline, nodiscard]] inline Result<void> parse_unary(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_prefixed(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_postfix(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_index(Expr& out, std::size_t base,
                                                        std::size_t& height);
  [[gnu::always_inline, nodiscard]] inline Result<void> parse_primary(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_identifier_primary(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_qualified(Expr& out, const Word& name);
  [[gnu::noinline, nodiscard]] Result<void> parse_do(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_query_conscience(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_declare_anomaly(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_array_literal(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_parenthesized_operand(Expr& out);
  [[gnu::noinline, nodiscard]] Result<void> parse_expression_list(std::vector<Expr>& out,
                                                                  TokenKind closing);
  [[gnu::noinline, nodiscard]] Result<void> parse_field_values(std::vector<FieldValue>& out);

  // ---- types (parse_types.cpp) ----
  [[gnu::noinline, nodiscard]] Result<void> parse_type(TypeExpr& out);
  [[nodiscard]] Result<TensorDim> parse_tensor_dim();

  TokenSource& source_;
  Token current_;
  std::size_t depth_ = 0;
  std::size_t peak_ = 0;
  // Lists are gathered on these stacks and then moved into a vector of
  // exactly their length: no regrowth while parsing, no unused capacity in
  // the tree. A list starts at the stack's size when it opens; the lists
  // nested in its elements are taken off above it before it continues.
  ScratchStack<Expr> exprs_;
  ScratchStack<FieldValue> field_values_;
  ScratchStack<Stmt> stmts_;
  ScratchStack<MatchArm> arms_;
  ScratchStack<Param> params_;
  ScratchStack<std::string> names_;
  ScratchStack<IntentBound> bounds_;
  ScratchStack<ContractField> contract_fields_;
};

}  // namespace ordel::parser_internal
