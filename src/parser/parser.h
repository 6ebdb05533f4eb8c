// The parser: tokens to one Module.
//
// Hand-written recursive descent with one token of look-ahead, no
// backtracking and no recovery: the first error ends parsing. Nesting depth
// (expressions, prefix operators, blocks, statements, match arms, types) is
// bounded by kMaxNestingDepth; crossing it fails with MaxDepthExceeded at the
// token that crossed it, so no input can exhaust the call stack.
#pragma once

#include <span>
#include <string_view>

#include "lexer/diagnostics.h"
#include "lexer/token.h"
#include "parser/ast.h"

namespace ordel {

// Deep enough for any policy a person writes (real ones stay below 20
// levels), shallow enough that every recursive walk of the tree, here and in
// the stages after parsing, stays far inside a thread's default stack.
inline constexpr std::size_t kMaxNestingDepth = 256;

// Parses a complete token list (ending with the end-of-input token). Tokens
// after the module's closing brace are not examined.
[[nodiscard]] Result<Module> parse_module(std::span<const Token> tokens);

// Lexes and parses `source` in one pass without materialising the token
// list. Gives exactly the result of tokenize followed by parse_module: a
// lexical error anywhere in the source, even after the point where parsing
// failed or after the module's closing brace, takes precedence.
[[nodiscard]] Result<Module> parse_source(std::string_view source);

}  // namespace ordel
