#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "lexer/lexer.h"
#include "parser/ast.h"
#include "parser/parser.h"

namespace ordel {
namespace {

// Tokenizes the whole source, then parses the token list.
Result<Module> parse_tokens(std::string_view source) {
  Result<std::vector<Token>> tokens = tokenize(source);
  if (!tokens) {
    return std::unexpected(std::move(tokens).error());
  }
  return parse_module(*tokens);
}

std::string text_of(const Result<Module>& result) {
  return result ? debug_text(*result) : result.error().text();
}

// The module's rendering or the error's text. Every caller also checks that
// the streaming entry point and tokenize + parse_module agree exactly.
std::string outcome(std::string_view source) {
  const Result<Module> streamed = parse_source(source);
  const Result<Module> listed = parse_tokens(source);
  EXPECT_EQ(streamed.has_value(), listed.has_value());
  if (!streamed && !listed) {
    EXPECT_EQ(streamed.error(), listed.error());
  }
  EXPECT_EQ(text_of(streamed), text_of(listed));
  return text_of(streamed);
}

std::string repeat(std::string_view unit, std::size_t n) {
  std::string out;
  out.reserve(unit.size() * n);
  for (std::size_t i = 0; i < n; ++i) {
    out += unit;
  }
  return out;
}

// An expression placed in an intent's pre clause; it starts at column 28.
std::string in_pre(std::string_view exprs) {
  return "module m { intent I { pre: " + std::string(exprs) + "; } }";
}

// Statements placed in a function body; they start at column 21.
std::string in_body(std::string_view stmts) {
  return "module m { fn f() { " + std::string(stmts) + " } }";
}

// The pre-conditions' renderings, one per line, or the error's text.
std::string pre(std::string_view exprs) {
  const std::string source = in_pre(exprs);
  const std::string text = outcome(source);
  const Result<Module> module = parse_source(source);
  if (!module) {
    return text;
  }
  std::string out;
  for (const Expr& e : std::get<IntentDecl>(module->declarations.at(0).node).pre) {
    out += (out.empty() ? "" : "\n") + debug_text(e);
  }
  return out;
}

// The body's statements' renderings, one per line, or the error's text.
std::string body(std::string_view stmts) {
  const std::string source = in_body(stmts);
  const std::string text = outcome(source);
  const Result<Module> module = parse_source(source);
  if (!module) {
    return text;
  }
  std::string out;
  for (const Stmt& s : std::get<FunctionDecl>(module->declarations.at(0).node).body.stmts) {
    out += (out.empty() ? "" : "\n") + debug_text(s);
  }
  return out;
}

struct Case {
  std::string_view src;
  std::string_view want;
};

TEST(ParserExpressions, Good) {
  const Case cases[] = {
      {"1 + 2 * 3", R"(Binary(IntLiteral(1), Add, Binary(IntLiteral(2), Mul, IntLiteral(3))))"},
      {"10 - 4 - 3", R"(Binary(Binary(IntLiteral(10), Sub, IntLiteral(4)), Sub, IntLiteral(3)))"},
      {"a |> f |> g", R"(Pipeline(Pipeline(Ident("a"), Ident("f")), Ident("g")))"},
      {"a || b |> c", R"(Pipeline(Binary(Ident("a"), Or, Ident("b")), Ident("c")))"},
      {"a && b || c && d",
       R"(Binary(Binary(Ident("a"), And, Ident("b")), Or, Binary(Ident("c"), And, Ident("d"))))"},
      {"a < b < c", R"(Binary(Binary(Ident("a"), Lt, Ident("b")), Lt, Ident("c")))"},
      {"a <= b == c >= d != e > f",
       R"(Binary(Binary(Binary(Ident("a"), LtEq, Ident("b")), Eq, Binary(Ident("c"), GtEq, Ident("d"))), NotEq, Binary(Ident("e"), Gt, Ident("f"))))"},
      {"x % 2 / 3 * 4 + 1",
       R"(Binary(Binary(Binary(Binary(Ident("x"), Mod, IntLiteral(2)), Div, IntLiteral(3)), Mul, IntLiteral(4)), Add, IntLiteral(1)))"},
      {"(1 + 2) * 3", R"(Binary(Binary(IntLiteral(1), Add, IntLiteral(2)), Mul, IntLiteral(3)))"},
      {"-a.b", R"(Unary(Neg, FieldAccess(Ident("a"), "b")))"},
      {"!a == b", R"(Binary(Unary(Not, Ident("a")), Eq, Ident("b")))"},
      {"- -x", R"(Unary(Neg, Unary(Neg, Ident("x"))))"},
      {"!!x", R"(Unary(Not, Unary(Not, Ident("x"))))"},
      {"a - -1 * b", R"(Binary(Ident("a"), Sub, Binary(Unary(Neg, IntLiteral(1)), Mul, Ident("b"))))"},
      {"Status.Active", R"(EnumAccess("Status", "Active"))"},
      {"status.active", R"(FieldAccess(Ident("status"), "active"))"},
      {"Status.Active(1)", R"(Call("Status.Active", [IntLiteral(1)]))"},
      {"Status.Active()", R"(Call("Status.Active", []))"},
      {"Status.Active.code", R"(FieldAccess(EnumAccess("Status", "Active"), "code"))"},
      {"\xC3\x89tat.Actif", "EnumAccess(\"\xC3\x89tat\", \"Actif\")"},  // É is upper-case
      {"\xC3\xA9tat.actif", "FieldAccess(Ident(\"\xC3\xA9tat\"), \"actif\")"},
      {"f(1, 2,)", R"(Call("f", [IntLiteral(1), IntLiteral(2)]))"},
      {"f()", R"(Call("f", []))"},
      {"Point { x: 1, y: 2, }",
       R"(ContractInit("Point", {"x": IntLiteral(1), "y": IntLiteral(2)}))"},
      {"Point {}", R"(ContractInit("Point", {}))"},
      {"(Ready)", R"(Ident("Ready"))"},
      {"a[0].b[i + 1]",
       R"(Index(FieldAccess(Index(Ident("a"), IntLiteral(0)), "b"), Binary(Ident("i"), Add, IntLiteral(1))))"},
      {"1.x", R"(FieldAccess(IntLiteral(1), "x"))"},
      {"[]", "ArrayLiteral([])"},
      {R"([1, 2.50, "s", true,])",
       R"(ArrayLiteral([IntLiteral(1), FloatLiteral(2.5), StringLiteral("s"), BoolLiteral(true)]))"},
      {R"(do Send { to: x, body: "hi" })",
       R"(Do("Send", {"to": Ident("x"), "body": StringLiteral("hi")}))"},
      {"query_conscience(no_harm { target: t, })",
       R"(QueryConscience("no_harm", {"target": Ident("t")}))"},
      {R"(declare_anomaly(x, { reason: "r" }))",
       R"(DeclareAnomaly(Ident("x"), {"reason": StringLiteral("r")}))"},
      {"collapse(x) + resolve(y)", R"(Binary(Collapse(Ident("x")), Add, Resolve(Ident("y"))))"},
      {R"("a\"b\n\q")", R"(StringLiteral("a\"b\n\\q"))"},
      {"a, b,", "Ident(\"a\")\nIdent(\"b\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(pre(c.src), c.want);
  }
}

TEST(ParserExpressions, Bad) {
  // Expressions start at column 28.
  const Case cases[] = {
      {"Status.Active(1,)",
       "[UnexpectedToken] Error at line 1:44: Expected expression, found ')'"},
      {"1 +", "[UnexpectedToken] Error at line 1:31: Expected expression, found ';'"},
      {"f(,)", "[UnexpectedToken] Error at line 1:30: Expected expression, found ','"},
      {"verify(x)", "[UnexpectedToken] Error at line 1:28: Expected expression, found 'verify'"},
      {"#flow", "[UnexpectedToken] Error at line 1:28: Expected expression, found '#flow'"},
      {"#abc", "[UnexpectedToken] Error at line 1:28: Expected expression, found '#'"},
      {"@", "[UnexpectedToken] Error at line 1:28: Expected expression, found '@'"},
      {"_", "[UnexpectedToken] Error at line 1:28: Expected expression, found '_'"},
      {"f(1 2.50)", "[ExpectedToken] Error at line 1:32: Expected ')', found '2.5'"},
      {"[1 3.0]", "[ExpectedToken] Error at line 1:31: Expected ']', found '3'"},
      {R"(f(1 "a\"b"))", R"([ExpectedToken] Error at line 1:32: Expected ')', found '"a"b"')"},
      {"Point { x 1 }", "[ExpectedToken] Error at line 1:38: Expected ':', found '1'"},
      {"Point { x: 1 y: 2 }", "[ExpectedToken] Error at line 1:41: Expected '}', found 'y'"},
      {"a.0", "[ExpectedToken] Error at line 1:30: Expected identifier, found '0'"},
      {"a >> b", "[ExpectedToken] Error at line 1:30: Expected ';', found '>>'"},
      {"(1", "[ExpectedToken] Error at line 1:30: Expected ')', found ';'"},
      {"do send", "[ExpectedToken] Error at line 1:35: Expected '{', found ';'"},
      {"query_conscience(p)", "[ExpectedToken] Error at line 1:46: Expected '{', found ')'"},
      {"declare_anomaly(x { })", "[ExpectedToken] Error at line 1:46: Expected ',', found '{'"},
      {"collapse x", "[ExpectedToken] Error at line 1:37: Expected '(', found 'x'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(pre(c.src), c.want);
  }
}

TEST(ParserStatements, Good) {
  const Case cases[] = {
      {"x = 1;", R"(Assign("x", Assign, IntLiteral(1)))"},
      {"x += 1; y -= 2;",
       "Assign(\"x\", PlusAssign, IntLiteral(1))\nAssign(\"y\", MinusAssign, IntLiteral(2))"},
      // Parentheses add no node, so the target is still a bare name.
      {"(x) = 1;", R"(Assign("x", Assign, IntLiteral(1)))"},
      {"x == 1;", R"(Expr(Binary(Ident("x"), Eq, IntLiteral(1))))"},
      {"return; return 1;", "Return(None)\nReturn(IntLiteral(1))"},
      {"let x: Int = 1; let y = x;",
       "Let(\"x\", Named(\"Int\"), IntLiteral(1))\nLet(\"y\", None, Ident(\"x\"))"},
      {"if x { break; } else { continue; }", "If(Ident(\"x\"), Block([Break]), Block([Continue]))"},
      {"if (Ready) {} if ready {} if Ready == x {}",
       "If(Ident(\"Ready\"), Block([]), None)\nIf(Ident(\"ready\"), Block([]), None)\n"
       "If(Binary(Ident(\"Ready\"), Eq, Ident(\"x\")), Block([]), None)"},
      {"loop (i < 10, 100) { i += 1; }",
       R"(Loop(Binary(Ident("i"), Lt, IntLiteral(10)), IntLiteral(100), Block([Assign("i", PlusAssign, IntLiteral(1))])))"},
      {R"(match s { Status.Active => { return 1; }, 1 => 2 2.5 => x, "k" => y, false => z _ => {} other => f(other), status.active => 0 })",
       R"(Match(Ident("s"), [MatchArm(EnumVariant("Status", "Active"), Block(Block([Return(IntLiteral(1))]))), MatchArm(IntLiteral(1), IntLiteral(2)), MatchArm(FloatLiteral(2.5), Ident("x")), MatchArm(StringLiteral("k"), Ident("y")), MatchArm(BoolLiteral(false), Ident("z")), MatchArm(Wildcard, Block(Block([]))), MatchArm(Ident("other"), Call("f", [Ident("other")])), MatchArm(EnumVariant("status", "active"), IntLiteral(0))]))"},
      {"match x {}", R"(Match(Ident("x"), []))"},
      {"f(1); x.y; a[0];",
       "Expr(Call(\"f\", [IntLiteral(1)]))\nExpr(FieldAccess(Ident(\"x\"), \"y\"))\n"
       "Expr(Index(Ident(\"a\"), IntLiteral(0)))"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(body(c.src), c.want);
  }
}

TEST(ParserStatements, Bad) {
  // Statements start at column 21.
  const Case cases[] = {
      {"x.y = 1;", "[ExpectedToken] Error at line 1:25: Expected ';', found '='"},
      {"a[0] = 1;", "[ExpectedToken] Error at line 1:26: Expected ';', found '='"},
      {"x = 1 2;", "[ExpectedToken] Error at line 1:27: Expected ';', found '2'"},
      {"{ }", "[UnexpectedToken] Error at line 1:21: Expected expression, found '{'"},
      // A capitalised name before `{` starts a contract initialisation.
      {"if Ready { return; }", "[ExpectedToken] Error at line 1:32: Expected identifier, found 'return'"},
      {"match Status { _ => 1 }", "[ExpectedToken] Error at line 1:36: Expected identifier, found '_'"},
      {"match x { -1 => 0 }", "[UnexpectedToken] Error at line 1:31: Expected pattern, found '-'"},
      {"match x { A.1 => 0 }", "[ExpectedToken] Error at line 1:33: Expected identifier, found '1'"},
      {"match x { a 0 }", "[ExpectedToken] Error at line 1:33: Expected '=>', found '0'"},
      {"if x {} else if y {}", "[ExpectedToken] Error at line 1:34: Expected '{', found 'if'"},
      {"let x = 1 }", "[ExpectedToken] Error at line 1:31: Expected ';', found '}'"},
      {"let 1 = 2;", "[ExpectedToken] Error at line 1:25: Expected identifier, found '1'"},
      {"return 1 }", "[ExpectedToken] Error at line 1:30: Expected ';', found '}'"},
      {"break }", "[ExpectedToken] Error at line 1:27: Expected ';', found '}'"},
      {"loop (x) {}", "[ExpectedToken] Error at line 1:28: Expected ',', found ')'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(body(c.src), c.want);
  }
}

TEST(ParserDeclarations, Good) {
  const Case cases[] = {
      {"module m {}", R"(Module("m", [], []))"},
      // Whatever follows the module's closing brace is ignored.
      {"module m {} module n { fn", R"(Module("m", [], []))"},
      {R"([Audit(level: high, "x")] module m {})",
       R"(Module("m", [], [Attribute("Audit", [Named("level", "high"), Positional("\"x\"")])]))"},
      {R"([A(1 2.50 k: "v" x:y,)] [B()] [C] module m {})",
       R"(Module("m", [], [Attribute("A", [Positional("1"), Positional("2.50"), Named("k", "\"v\""), Named("x", "y")]), Attribute("B", []), Attribute("C", [])]))"},
      // Functions and intents keep their attributes; the others drop them.
      {R"(module m { [F] fn f() {} [I(a)] intent I {} [X] import "p"; [Y] enum E {} [Z] contract C {} [W] tensor_op T {} })",
       R"(Module("m", [FunctionDecl("f", [], None, Block([]), [Attribute("F", [])], false), IntentDecl("I", [], [], [], [], [], None, [], None, None, None, None, None, [Attribute("I", [Positional("a")])]), ImportDecl("p"), EnumDecl("E", []), ContractDecl("C", [], None, None), TensorOpDecl("T", [], [], None)], []))"},
      {"module m { export fn f(a: Int, b: [String],) -> Map<String, Sealed<i64> > { return a; } }",
       R"(Module("m", [FunctionDecl("f", [Param("a", Named("Int")), Param("b", Array(Named("String")))], Map(Named("String"), Sealed(Named("i64"))), Block([Return(Ident("a"))]), [], true)], []))"},
      {R"(module m { import "lib/a\tb.odl"; })", R"(Module("m", [ImportDecl("lib/a\tb.odl")], []))"},
      // The second invariant block replaces the first; a field index keeps
      // its low 32 bits; an unknown bracket word is ignored.
      {"module m { contract C = A + B; contract P { @0: x: Int, @4294967297: y: Float [conflict = x], "
       "@2: z: T [other], invariant { x > 0, y } invariant { z } } contract Q {} contract R { invariant {} } }",
       R"(Module("m", [ContractDecl("C", [], None, ["A", "B"]), ContractDecl("P", [ContractField("x", Named("Int"), None, 0), ContractField("y", Named("Float"), "x", 1), ContractField("z", Named("T"), None, 2)], [Ident("z")], None), ContractDecl("Q", [], None, None), ContractDecl("R", [], [], None)], []))"},
      {"module m { tensor_op T { takes: a: Int; gives: c: Tensor[3, ?, batch], d: Tensor[],; "
       "note: fn ( { 1; takes: z: Int; } }",
       R"(Module("m", [TensorOpDecl("T", [Param("z", Named("Int"))], [Param("c", Tensor([Fixed(3), Wildcard, Named("batch")])), Param("d", Tensor([]))], None)], []))"},
      // takes, gives, bound, effect, fallback, rollback and ring: last wins;
      // pre, post and conscience: concatenated; unknown clauses skipped.
      {"module m { intent Read { takes: a: Int; takes: path: String; gives: out: Bytes; "
       "pre: a > 0, b,; pre: c; post: d; bound: x(1); bound: max_calls(1 0), window(60 s),; "
       "effect: READ; effect: WRITE; conscience: no_harm, path_safety,; conscience: extra; "
       "fallback: F; rollback: R; ring: 1; ring: -3; owner: anything ( { goes; } }",
       R"(Module("m", [IntentDecl("Read", [Param("path", Named("String"))], [Param("out", Named("Bytes"))], [Binary(Ident("a"), Gt, IntLiteral(0)), Ident("b"), Ident("c")], [Ident("d")], [IntentBound("max_calls", "10"), IntentBound("window", "60s")], "WRITE", ["no_harm", "path_safety", "extra"], "F", "R", None, -3, None, [])], []))"},
      {R"(module m { intent I { bound: b("x" y); } })",
       R"(Module("m", [IntentDecl("I", [], [], [], [], [IntentBound("b", "\"x\"y")], None, [], None, None, None, None, None, [])], []))"},
      {"module m { intent A = B >> C; }",
       R"(Module("m", [IntentDecl("A", [], [], [], [], [], None, [], None, None, None, None, ["B", "C"], [])], []))"},
      {"module m { enum Status { Active, Suspended(reason: String, code: Int,) Closed } enum E {} }",
       R"(Module("m", [EnumDecl("Status", [VariantDecl("Active", []), VariantDecl("Suspended", [Param("reason", Named("String")), Param("code", Named("Int"))]), VariantDecl("Closed", [])]), EnumDecl("E", [])], []))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(outcome(c.src), c.want);
  }
}

TEST(ParserDeclarations, Bad) {
  const Case cases[] = {
      {"", "[ExpectedToken] Error at line 1:1: Expected 'module', found 'EOF'"},
      {"module", "[ExpectedToken] Error at line 1:7: Expected identifier, found 'EOF'"},
      {"module m {", "[ExpectedToken] Error at line 1:11: Expected '}', found 'EOF'"},
      {"module m {\n  fn f() {\n    x.y = 1;\n  }\n}",
       "[ExpectedToken] Error at line 3:9: Expected ';', found '='"},
      // Past the end of input the span is all zero.
      {"[A(k:", "[ExpectedToken] Error at line 0:0: Expected ')', found 'EOF'"},
      {"[A(k", "[ExpectedToken] Error at line 1:5: Expected ')', found 'EOF'"},
      {"[A(k: v) module m {}", "[ExpectedToken] Error at line 1:10: Expected ']', found 'module'"},
      {"[A b] module m {}", "[ExpectedToken] Error at line 1:4: Expected ']', found 'b'"},
      {"module m { let x = 1; }",
       "[UnexpectedToken] Error at line 1:12: Expected declaration (fn, contract, intent, enum, "
       "import), found 'let'"},
      {"module m { 42 }",
       "[UnexpectedToken] Error at line 1:12: Expected declaration (fn, contract, intent, enum, "
       "import), found '42'"},
      {"module m { 2.50 }",
       "[UnexpectedToken] Error at line 1:12: Expected declaration (fn, contract, intent, enum, "
       "import), found '2.5'"},
      {"module m { 3.0 }",
       "[UnexpectedToken] Error at line 1:12: Expected declaration (fn, contract, intent, enum, "
       "import), found '3'"},
      {R"(module m { "x\"y" })",
       "[UnexpectedToken] Error at line 1:12: Expected declaration (fn, contract, intent, enum, "
       "import), found '\"x\"y\"'"},
      {"module m { export intent I {} }", "[ExpectedToken] Error at line 1:19: Expected 'fn', found 'intent'"},
      {"module m { import foo; }",
       "[ExpectedToken] Error at line 1:19: Expected string literal, found 'foo'"},
      {"module m { contract C { @0: x: Int } }",
       "[ExpectedToken] Error at line 1:36: Expected ',', found '}'"},
      {"module m { contract C { @x: y: Int, } }",
       "[UnexpectedToken] Error at line 1:26: Expected field index number, found 'x'"},
      {"module m { contract C { @0: x: Int [conflict y], } }",
       "[ExpectedToken] Error at line 1:46: Expected '=', found 'y'"},
      {"module m { contract C { @0: x: Int [a b], } }",
       "[ExpectedToken] Error at line 1:39: Expected ']', found 'b'"},
      {"module m { contract C = A + ; }", "[ExpectedToken] Error at line 1:29: Expected identifier, found ';'"},
      {"module m { intent I { ring: x; } }",
       "[UnexpectedToken] Error at line 1:29: Expected ring number, found 'x'"},
      {"module m { intent I { trace: x; } }",
       "[UnexpectedToken] Error at line 1:23: Expected intent clause, found 'trace'"},
      {"module m { intent I { intent: x; } }",
       "[UnexpectedToken] Error at line 1:23: Expected intent clause, found 'intent'"},
      {"module m { intent A = B, C; }", "[ExpectedToken] Error at line 1:24: Expected ';', found ','"},
      {"module m { intent I { pre: ; } }",
       "[UnexpectedToken] Error at line 1:28: Expected expression, found ';'"},
      {"module m { intent I { takes: a Int; } }",
       "[ExpectedToken] Error at line 1:32: Expected ':', found 'Int'"},
      {"module m { intent I { conscience: ; } }",
       "[ExpectedToken] Error at line 1:35: Expected identifier, found ';'"},
      {"module m { intent I { effect: READ WRITE; } }",
       "[ExpectedToken] Error at line 1:36: Expected ';', found 'WRITE'"},
      // A nested parenthesis does not nest: the first `)` ends the entry.
      {"module m { intent I { bound: n(f(1)); } }",
       "[ExpectedToken] Error at line 1:36: Expected ';', found ')'"},
      {"module m { tensor_op T { fn: x; } }",
       "[ExpectedToken] Error at line 1:26: Expected identifier, found 'fn'"},
      {"module m { enum E { A(x: Int B } }", "[ExpectedToken] Error at line 1:30: Expected ')', found 'B'"},
      {"module m { fn f() -> {} }", "[ExpectedToken] Error at line 1:22: Expected identifier, found '{'"},
      // Adjacent closing angle brackets lex as `>>`.
      {"module m { fn f(a: Map<String, Sealed<i64>>) {} }",
       "[ExpectedToken] Error at line 1:42: Expected '>', found '>>'"},
      {"module m { fn f(a: Tensor[3,]) {} }",
       "[ExpectedToken] Error at line 1:29: Expected identifier, found ']'"},
      {"module m { fn f(a: Tensor) {} }", "[ExpectedToken] Error at line 1:26: Expected '[', found ')'"},
      {"module m { fn f(a: 1) {} }", "[ExpectedToken] Error at line 1:20: Expected identifier, found '1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(outcome(c.src), c.want);
  }
}

TEST(ParserSpans, NodesCarryTheirTokensSpan) {
  const Result<Module> module = parse_source(
      "module m {\n  intent I { pre: a.b + -c[0]; }\n  fn f() { x = 1; }\n}");
  ASSERT_TRUE(module.has_value());
  EXPECT_EQ(module->span, (Span{0, 6, 1, 1}));
  const auto& intent = std::get<IntentDecl>(module->declarations[0].node);
  EXPECT_EQ(intent.span, (Span{13, 19, 2, 3}));
  const Expr& sum = intent.pre.at(0);
  EXPECT_EQ(sum.span(), (Span{33, 34, 2, 23}));  // the `+`
  const auto& binary = std::get<Expr::Binary>(sum.node);
  EXPECT_EQ(binary.left->span(), (Span{30, 31, 2, 20}));   // the `.`
  EXPECT_EQ(binary.right->span(), (Span{35, 36, 2, 25}));  // the `-`
  const auto& function = std::get<FunctionDecl>(module->declarations[1].node);
  EXPECT_EQ(function.body.span, (Span{53, 54, 3, 10}));
  EXPECT_EQ(function.body.stmts.at(0).span(), (Span{55, 56, 3, 12}));  // the target
}

// ---- nesting depth ------------------------------------------------------------

std::string depth_error(std::uint64_t line, std::uint64_t col) {
  return "[MaxDepthExceeded] Error at line " + std::to_string(line) + ":" + std::to_string(col) +
         ": Maximum nesting depth of 256 exceeded";
}

// Height of an expression tree, counted in expression nodes.
std::size_t height(const Expr& expr) {
  return std::visit(
      [](const auto& n) -> std::size_t {
        std::size_t h = 0;
        if constexpr (requires { n.left; }) {
          h = std::max(height(*n.left), height(*n.right));
        }
        if constexpr (requires { n.operand; }) {
          h = height(*n.operand);
        }
        if constexpr (requires { n.object; }) {
          h = height(*n.object);
        }
        if constexpr (requires { n.index; }) {
          h = std::max(h, height(*n.index));
        }
        if constexpr (requires { n.elements; }) {
          for (const Expr& e : n.elements) {
            h = std::max(h, height(e));
          }
        }
        if constexpr (std::is_same_v<std::decay_t<decltype(n)>, Expr::Call>) {
          for (const Expr& e : n.args) {
            h = std::max(h, height(e));
          }
        }
        return h + 1;
      },
      expr.node);
}

struct DepthCase {
  std::string_view name;
  std::string (*make)(std::size_t n);
  std::size_t deepest;  // the largest n that parses
};

const DepthCase kDepthCases[] = {
    {"minus", [](std::size_t n) { return in_pre(repeat("- ", n) + "x"); }, 255},
    {"not", [](std::size_t n) { return in_pre(repeat("!", n) + "x"); }, 255},
    {"parentheses", [](std::size_t n) { return in_pre(repeat("(", n) + "x" + repeat(")", n)); }, 255},
    {"arrays", [](std::size_t n) { return in_pre(repeat("[", n) + "x" + repeat("]", n)); }, 255},
    {"calls", [](std::size_t n) { return in_pre(repeat("f(", n) + "x" + repeat(")", n)); }, 255},
    {"binary chain", [](std::size_t n) { return in_pre("1" + repeat("+1", n)); }, 255},
    {"pipeline chain", [](std::size_t n) { return in_pre("x" + repeat(" |> f", n)); }, 255},
    {"field chain", [](std::size_t n) { return in_pre("a" + repeat(".b", n)); }, 255},
    {"index chain", [](std::size_t n) { return in_pre("a" + repeat("[0]", n)); }, 255},
    {"if blocks", [](std::size_t n) { return in_body(repeat("if x { ", n) + repeat("} ", n)); }, 255},
    {"match arm blocks",
     [](std::size_t n) { return in_body(repeat("match x { _ => { ", n) + repeat("} } ", n)); }, 255},
    {"array types",
     [](std::size_t n) {
       return "module m { fn f(a: " + repeat("[", n) + "Int" + repeat("]", n) + ") {} }";
     },
     255},
    {"sealed types",
     [](std::size_t n) {
       return "module m { fn f(a: " + repeat("Sealed<", n) + "Int" + repeat(" >", n) + ") {} }";
     },
     255},
};

TEST(ParserDepth, AtTheLimitAndOnePast) {
  for (const DepthCase& c : kDepthCases) {
    SCOPED_TRACE(c.name);
    const Result<Module> deepest = parse_source(c.make(c.deepest));
    ASSERT_TRUE(deepest.has_value()) << deepest.error().text();
    const auto* intent = std::get_if<IntentDecl>(&deepest->declarations.at(0).node);
    if (intent != nullptr) {
      EXPECT_LE(height(intent->pre.at(0)), kMaxNestingDepth);
    }
    const Result<Module> past = parse_source(c.make(c.deepest + 1));
    ASSERT_FALSE(past.has_value());
    EXPECT_EQ(past.error().kind, ErrorKind::MaxDepthExceeded);
    EXPECT_EQ(past.error().message, "Maximum nesting depth of 256 exceeded");
  }
}

TEST(ParserDepth, HundredThousandLevelsFailCleanly) {
  for (const DepthCase& c : kDepthCases) {
    SCOPED_TRACE(c.name);
    const std::string source = c.make(100000);
    const Result<Module> streamed = parse_source(source);
    ASSERT_FALSE(streamed.has_value());
    EXPECT_EQ(streamed.error().kind, ErrorKind::MaxDepthExceeded);
    EXPECT_EQ(streamed.error(), parse_tokens(source).error());
  }
}

TEST(ParserDepth, ReportsTheTokenThatCrossedTheLimit) {
  struct Crossing {
    std::string_view name;
    std::string want;
  };
  const Crossing crossings[] = {
      // The expression itself is level 1, so the 256th `-` opens level 257.
      {"minus", depth_error(1, 28 + 2 * 255)},
      {"binary chain", depth_error(1, 28 + 1 + 2 * 255)},  // the 256th `+`
      {"parentheses", depth_error(1, 28 + 256)},  // the expression inside the 256th `(`
      {"if blocks", depth_error(1, 21 + 7 * 255 + 3)},  // the condition of the 256th `if`
  };
  for (const Crossing& crossing : crossings) {
    SCOPED_TRACE(crossing.name);
    const auto* c = std::find_if(std::begin(kDepthCases), std::end(kDepthCases),
                                 [&](const DepthCase& d) { return d.name == crossing.name; });
    ASSERT_NE(c, std::end(kDepthCases));
    EXPECT_EQ(outcome(c->make(c->deepest + 1)), crossing.want);
  }
}

// A chain's first operand ends up deepest in its tree, so chains whose first
// operand is itself a deep chain must be charged for the whole height.
TEST(ParserDepth, ChainsChargeTheHeightOfTheirFirstOperand) {
  std::string binary = "x";
  std::string postfix = "a";
  for (int i = 0; i < 10; ++i) {
    binary = "(" + binary + repeat(" + x", 30) + ")";
    postfix = "(" + postfix + repeat(".b", 30) + ")";
  }
  for (const std::string& expr : {binary, postfix}) {
    const Result<Module> module = parse_source(in_pre(expr));
    ASSERT_FALSE(module.has_value());
    EXPECT_EQ(module.error().kind, ErrorKind::MaxDepthExceeded);
  }
  // Siblings do not add up: two chains of 200 side by side stay shallow.
  const std::string chain = "(x" + repeat(" + x", 200) + ")";
  const Result<Module> siblings = parse_source(in_pre(chain + " + " + chain));
  ASSERT_TRUE(siblings.has_value()) << siblings.error().text();
  EXPECT_EQ(height(std::get<IntentDecl>(siblings->declarations[0].node).pre[0]), 202u);
}

// ---- both entry points ------------------------------------------------------

TEST(ParserSource, LexicalErrorsWinWhereverTheyAre) {
  const Case cases[] = {
      {"module m {} $", "[UnexpectedChar] Error at line 1:14: Unexpected character: '$'"},
      // The syntax error at `let` comes first, but the source does not lex.
      {"module m { let $ }", "[UnexpectedChar] Error at line 1:17: Unexpected character: '$'"},
      {"module m { 42 } &", "[UnexpectedChar] Error at line 1:18: Expected '&&'"},
      {"module m { fn f() { x.y = 1; } } \"open",
       "[UnexpectedChar] Error at line 1:39: Unterminated string"},
      {"module m {}\n\n  |", "[UnexpectedChar] Error at line 3:4: Expected '|>' or '||'"},
      {"\xFF", "[UnexpectedChar] Error at line 1:1: Source is not valid UTF-8"},
      {"module m { 42 }",
       "[UnexpectedToken] Error at line 1:12: Expected declaration (fn, contract, intent, enum, "
       "import), found '42'"},
      {"[A(k:", "[ExpectedToken] Error at line 0:0: Expected ')', found 'EOF'"},
      {"module m {} fn", R"(Module("m", [], []))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(outcome(c.src), c.want);
  }
}

constexpr std::string_view kPolicy = R"([Policy(owner: platform, version: "1")]
module agent {
  import "std/paths.odl";
  enum Status { Active, Suspended(reason: String), Closed }
  contract Account {
    @0: owner: String,
    @1: balance: Sealed<i64> [conflict = owner],
    @2: tags: Map<String, [String] >,
    invariant { balance >= 0, owner != "" }
  }
  contract Admin = Account + Audited;
  tensor_op Embed { takes: x: Tensor[?, 768]; gives: y: Tensor[batch, 3]; cost: 1 2; }
  [Audit(level: high)]
  intent WriteFile {
    takes: path: String, content: Bytes;
    effect: WRITE;
    conscience: no_harm, path_safety;
    pre: starts_with(path, "/tmp/") || starts_with(path, "/workspace/"), !contains(path, "..");
    bound: max_calls(10), window(60 s);
    ring: -1;
  }
  intent Pipeline = ReadFile >> WriteFile;
  export fn score(a: Account, s: Status) -> f64 {
    let total: f64 = 0.5 * 2.0;
    match s {
      Status.Active => { total += 1; },
      _ => total
    }
    loop (total < 10.0, 100) { total = total + 1.25; if total > 5 { break; } else { continue; } }
    let r = do Notify { to: a.owner, body: "done\n" } |> collapse(r);
    declare_anomaly(a, { why: query_conscience(no_harm { who: a.owner }) });
    return Account { owner: "x", balance: -a.balance[0] };
  }
}
)";

TEST(ParserSource, TruncatedPoliciesAgreeAndNeverCrash) {
  ASSERT_TRUE(parse_source(kPolicy).has_value()) << parse_source(kPolicy).error().text();
  for (std::size_t n = 0; n <= kPolicy.size(); ++n) {
    SCOPED_TRACE(n);
    static_cast<void>(outcome(kPolicy.substr(0, n)));
  }
}

TEST(ParserSource, MutatedPoliciesAgreeAndNeverCrash) {
  constexpr std::string_view kBytes = "{}()[]<>;:,.=+-!|&\"\\#@?_ \nax9Z\xC3\xA9\x80$";
  std::mt19937 random(20240611);
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::string source(kPolicy);
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % source.size();
      const char byte = kBytes[random() % kBytes.size()];
      switch (random() % 3) {
        case 0: source[at] = byte; break;
        case 1: source.insert(source.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
        default: source.erase(at, 1 + random() % 8); break;
      }
    }
    SCOPED_TRACE(source);
    static_cast<void>(outcome(source));
    const Result<Module> result = parse_source(source);
    if (!result) {
      const ErrorKind kind = result.error().kind;
      EXPECT_TRUE(kind == ErrorKind::UnexpectedChar || kind == ErrorKind::UnexpectedToken ||
                  kind == ErrorKind::ExpectedToken || kind == ErrorKind::MaxDepthExceeded);
      EXPECT_TRUE(result.error().span.has_value());
    }
  }
}

}  // namespace
}  // namespace ordel
