#include "checker/checker.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>

#include "parser/parser.h"

namespace ordel {
namespace {

// "ok", or the text of the checker's error. A snippet that does not parse is
// a fault of the test and says so.
std::string check(std::string_view source) {
  Result<Module> module = parse_source(source);
  if (!module) {
    return "parse failed: " + module.error().text();
  }
  Checker checker;
  const Result<void> result = checker.check_module(*module);
  return result ? "ok" : result.error().text();
}

// A function body checked after a one-line head of declarations ending in the
// opening of that function, so the body starts on line 2. `want` is "ok", or
// "[Kind] message" for an error at the position marked `^` in the body.
struct Case {
  std::string_view head;
  std::string_view body;
  std::string_view want;
};

void run_cases(std::span<const Case> cases) {
  for (const Case& c : cases) {
    std::string body(c.body);
    std::string want(c.want);
    if (const std::size_t caret = body.find('^'); caret != std::string::npos) {
      body.erase(caret, 1);
      std::size_t line = 2;
      std::size_t line_start = 0;
      for (std::size_t i = 0; i < caret; ++i) {
        if (body[i] == '\n') {
          ++line;
          line_start = i + 1;
        }
      }
      const std::size_t kind_end = want.find("] ") + 1;
      want = want.substr(0, kind_end) + " Error at line " + std::to_string(line) + ":" +
             std::to_string(caret - line_start + 1) + ":" + want.substr(kind_end);
    } else if (want != "ok") {
      ADD_FAILURE() << "error case without a position marker: " << c.body;
    }
    const std::string source = "module M { " + std::string(c.head) + "\n" + body + "\n} }";
    SCOPED_TRACE(source);
    EXPECT_EQ(check(source), want);
  }
}

constexpr std::string_view kFn = "fn f() {";

TEST(Checker, WholeModules) {
  struct WholeCase {
    std::string_view source;
    std::string_view want;
  };
  const WholeCase cases[] = {
      {"module M { }", "ok"},
      // Nothing outside function bodies is checked: intent clauses, contract
      // invariants, tensor operations.
      {R"(module M {
  import "x";
  contract C { @1: a: i64, invariant { true && 1, zz } }
  enum E { A, B(x: i64) }
  intent I { takes: a: i64; pre: 1 + "a"; post: zz; effect: READ; }
  intent J = I >> I;
  tensor_op T { takes: a: i64; gives: b: Tensor[?]; }
})",
       "ok"},
      {R"(module M {
  fn f() {
    let x: bool = 1;
  }
})",
       "[TypeMismatch] Error at line 3:5: Type mismatch: expected bool, found i64"},
      // Bodies may use everything declared after them.
      {R"(module M {
  fn f() -> i64 {
    let r = Later { a: 1 };
    let n: i64 = g(r.a);
    let e = Kind.B;
    let d: bool = do Act { x: n };
    return n;
  }
  fn g(x: i64) -> i64 { return x; }
  contract Later { @1: a: i64, }
  enum Kind { A, B }
  intent Act { takes: x: i64; gives: ok: bool; }
})",
       "ok"},
      // Both bodies of a name declared twice are checked; the first error
      // stops the check.
      {R"(module M {
  fn g() {
    let x: bool = 1;
  }
  fn g(a: i64) {
    let y = zz;
  }
})",
       "[TypeMismatch] Error at line 3:5: Type mismatch: expected bool, found i64"},
      {R"(module M {
  fn g() { }
  fn g(a: i64) {
    let y = zz;
  }
})",
       "[UndefinedVariable] Error at line 4:13: Undefined variable 'zz'"},
  };
  for (const WholeCase& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(check(c.source), c.want);
  }
}

TEST(Checker, Statements) {
  const Case cases[] = {
      {kFn, "", "ok"},
      {kFn, "^let x: bool = 1;", "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kFn, "let x: i64 = 1.5; ^let y: bool = x;",
       "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kFn, "let x = 1; let x = \"s\"; ^let y: bool = x;",
       "[TypeMismatch] Type mismatch: expected bool, found String"},
      {kFn, "if true { let y = 1; } let z = ^y;", "[UndefinedVariable] Undefined variable 'y'"},
      {kFn, "if true { let a = 1; } else { let b = ^a; }",
       "[UndefinedVariable] Undefined variable 'a'"},
      {kFn, "loop (true, 1) { let z = 1; } let w = ^z;", "[UndefinedVariable] Undefined variable 'z'"},
      // An inner binding shadows; the outer one is untouched.
      {kFn, "let a = 1; if true { let a = \"s\"; } let b: i64 = a;", "ok"},
      {kFn, "let a = 1; if true { let a = \"s\"; ^let b: i64 = a; }",
       "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kFn, "^x = 1;", "[UndefinedVariable] Undefined variable 'x'"},
      {kFn, "^x = y;", "[UndefinedVariable] Undefined variable 'x'"},
      {kFn, "let x = 1; x = ^y;", "[UndefinedVariable] Undefined variable 'y'"},
      {kFn, "let x = 1; ^x += \"a\";", "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kFn, "let x = 1; ^x -= true;", "[TypeMismatch] Type mismatch: expected i64, found bool"},
      {kFn, "let x = 1; x = 2.5; x += 1; x -= nothing();", "ok"},
      {kFn, "^if 1 { }", "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kFn, "if nothing() { } else { }", "ok"},
      {kFn, "if true { } else { ^let x: bool = 1; }",
       "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kFn, "^loop (1, 10) { }", "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kFn, "^loop (true, \"n\") { }", "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kFn, "loop (true, 2.5) { break; } loop (nothing(), nothing()) { continue; }", "ok"},
      // Patterns are not checked against the value and bind nothing.
      {kFn, "match 1 { \"s\" => 1, Color.Red => 2, true => 3, _ => { let q = 1; } }", "ok"},
      {kFn, "match 1 { x => ^x }", "[UndefinedVariable] Undefined variable 'x'"},
      {kFn, "match ^zz { _ => 1 }", "[UndefinedVariable] Undefined variable 'zz'"},
      {kFn, "match 1 { _ => { let q = 1; } } let r = ^q;",
       "[UndefinedVariable] Undefined variable 'q'"},
      {kFn, "return;", "ok"},
      {kFn, "return ^zz;", "[UndefinedVariable] Undefined variable 'zz'"},
      {kFn, "1 + ^zz;", "[UndefinedVariable] Undefined variable 'zz'"},
      // Return values are not compared with the declared return type.
      {"fn g() -> i64 { return \"s\"; } fn h() -> i64 { return; } fn f() {", "", "ok"},
      {"fn f(a: i64, a: bool) {", "^let x: i64 = a;",
       "[TypeMismatch] Type mismatch: expected i64, found bool"},
      // Top-level lets join the parameters' scope.
      {"fn f(a: i64) {", "let a = \"s\"; ^let b: i64 = a;",
       "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kFn, "let a = 1;\nif true {\n  let b = a;\n  let c: i64 = b;\n}\nlet d = ^b;",
       "[UndefinedVariable] Undefined variable 'b'"},
  };
  run_cases(cases);
}

TEST(Checker, DeclarationsAndTables) {
  const Case cases[] = {
      // Calls see the later signature of a name declared twice.
      {"fn g(a: i64) { } fn g(a: i64, b: i64) { } fn f() {", "^g(1);",
       "[ArgumentCount] Function 'g' expects 2 arguments, got 1"},
      // A contract, an enumeration and an intent may share a name; the name
      // as a value is the contract.
      {"contract S { @1: a: i64, } enum S { A } intent S { } fn f() {",
       "let v = S; ^let n: bool = v.a;", "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {"enum Color { Red } fn f() {", "let c = Color; ^let n: bool = c;",
       "[TypeMismatch] Type mismatch: expected bool, found Color"},
      {"fn g() { } fn f() {", "let h = ^g;", "[UndefinedVariable] Undefined variable 'g'"},
      {"enum Provenance { A } fn f() {", "let a = Provenance.A; let p = ^Provenance.TRUSTED_INTERNAL;",
       "[TypeMismatch] Enum 'Provenance' has no variant 'TRUSTED_INTERNAL'"},
      {"contract ConscienceQuery { @1: ok: bool, } fn f() {",
       "let q = query_conscience(p { }); let a: bool = q.ok; let b = q^.permitted;",
       "[TypeMismatch] Contract 'ConscienceQuery' has no field 'permitted'"},
      {"contract R { @1: a: i64, } contract R { @1: b: bool, } fn f() {",
       "let r = R { b: true }; let x = r^.a;", "[TypeMismatch] Contract 'R' has no field 'a'"},
      // A composed contract has no fields.
      {"contract A { @1: x: i64, } contract B = A + A; fn f() {", "let b = B { x: \"s\" }; let y = b^.x;",
       "[TypeMismatch] Contract 'B' has no field 'x'"},
      // A composed intent takes and gives nothing.
      {"intent A { gives: x: bool; } intent C = A >> A; fn f() {", "^let r: Handle = do C { x: 1 };",
       "[TypeMismatch] Type mismatch: expected Handle, found IntentResult<C>"},
      // Many fields, inputs and variants are found by their first occurrence.
      {"contract W { @1: a: i64, @2: b: i64, @3: c: i64, @4: d: i64, @5: e: i64, @6: f: i64, "
       "@7: g: i64, @8: h: i64, @9: i: bool, @10: i: String, } "
       "enum V { A, B, C, D, E, F, G, H, I, J } fn f() {",
       "let w = W { i: true, h: 1 }; let v = V.J; ^let x: String = w.i;",
       "[TypeMismatch] Type mismatch: expected String, found bool"},
      {"enum V { A, B, C, D, E, F, G, H, I, J } fn f() {", "let v = ^V.K;",
       "[TypeMismatch] Enum 'V' has no variant 'K'"},
  };
  run_cases(cases);
}

TEST(Checker, Operators) {
  const Case cases[] = {
      {kFn, "^let r: Handle = 1 + 2;", "[TypeMismatch] Type mismatch: expected Handle, found i64"},
      {kFn, "^let r: Handle = 1 * 2.0;", "[TypeMismatch] Type mismatch: expected Handle, found f64"},
      {kFn, "^let r: Handle = 2.5 % 2;", "[TypeMismatch] Type mismatch: expected Handle, found f64"},
      {kFn, "^let r: Handle = \"a\" + \"b\";",
       "[TypeMismatch] Type mismatch: expected Handle, found String"},
      {kFn, "let r = \"a\" ^- \"b\";", "[TypeMismatch] Cannot apply Sub to String and String"},
      {kFn, "let r = true ^+ false;", "[TypeMismatch] Cannot apply Add to bool and bool"},
      {kFn, "let r = \"a\" ^* 2;", "[TypeMismatch] Cannot apply Mul to String and i64"},
      {kFn, "let r = [1] ^/ [2];", "[TypeMismatch] Cannot apply Div to [i64] and [i64]"},
      // `void` adopts the other side, whatever it is.
      {kFn, "^let r: Handle = nothing() + \"a\";",
       "[TypeMismatch] Type mismatch: expected Handle, found String"},
      {kFn, "^let r: Handle = [true] % nothing();",
       "[TypeMismatch] Type mismatch: expected Handle, found [bool]"},
      {kFn, "let r: Handle = nothing() - nothing();", "ok"},
      {kFn, "^let r: Handle = 1 < 2.0;", "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      {kFn, "let r: bool = nothing() >= 1;", "ok"},
      {kFn, "let r = \"a\" ^< \"b\";", "[TypeMismatch] Cannot compare String and String"},
      {kFn, "let r = nothing() ^<= true;", "[TypeMismatch] Cannot compare void and bool"},
      {kFn, "^let r: Handle = \"a\" == 1;", "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      {kFn, "let r: bool = [1] != map_new();", "ok"},
      {kFn, "let r: bool = true && nothing(); let s: bool = nothing() || false;", "ok"},
      {kFn, "let r = 1 ^|| true;", "[TypeMismatch] Logical operators require bool, got i64 and bool"},
      {kFn, "let r = true ^&& \"s\";",
       "[TypeMismatch] Logical operators require bool, got bool and String"},
      {kFn, "let r = ^-nothing();", "[TypeMismatch] Cannot negate type void"},
      {kFn, "let r = ^-\"s\";", "[TypeMismatch] Cannot negate type String"},
      {kFn, "^let r: Handle = -1.5;", "[TypeMismatch] Type mismatch: expected Handle, found f64"},
      {kFn, "^let r: Handle = --1;", "[TypeMismatch] Type mismatch: expected Handle, found i64"},
      {kFn, "let r = ^!1;", "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kFn, "^let r: Handle = !nothing();", "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      // The left operand is checked first, then the right, then the operator.
      {kFn, "let r = ^zz + yy;", "[UndefinedVariable] Undefined variable 'zz'"},
      {kFn, "let r = (1 ^+ true) + zz;", "[TypeMismatch] Cannot apply Add to i64 and bool"},
      {kFn, "let r = true + ^zz;", "[UndefinedVariable] Undefined variable 'zz'"},
      {kFn, "let r = 1 + 2 * 3 ^< \"s\";", "[TypeMismatch] Cannot compare i64 and String"},
  };
  run_cases(cases);
}

TEST(Checker, Calls) {
  constexpr std::string_view kG = "fn g(a: i64, b: bool) -> String { } fn f() {";
  const Case cases[] = {
      {kG, "^g(1);", "[ArgumentCount] Function 'g' expects 2 arguments, got 1"},
      {kG, "^g(1, true, 3);", "[ArgumentCount] Function 'g' expects 2 arguments, got 3"},
      {kG, "^g(\"a\", \"b\");", "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kG, "^g(1, 2);", "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kG, "g(1, ^zz, 3);", "[UndefinedVariable] Undefined variable 'zz'"},
      {kG, "^let r: Handle = g(1.5, true);",
       "[TypeMismatch] Type mismatch: expected Handle, found String"},
      {kG, "^let r: Handle = g(nothing(), nothing());",
       "[TypeMismatch] Type mismatch: expected Handle, found String"},
      {kFn, "let r: Handle = nope(1, \"a\"); let s: Handle = Color.Red(1);", "ok"},
      {kFn, "nope(1, ^zz);", "[UndefinedVariable] Undefined variable 'zz'"},
      // Built-ins win over user functions and count nothing.
      {"fn len(a: bool) -> bool { } fn f() {", "^let r: bool = len();",
       "[TypeMismatch] Type mismatch: expected bool, found i64"},
      {kFn, "len(^zz);", "[UndefinedVariable] Undefined variable 'zz'"},
  };
  run_cases(cases);
}

TEST(Checker, BuiltinResultTypes) {
  struct BuiltinCase {
    std::string_view call;
    std::string_view type;  // "void": accepted where a Handle is expected
  };
  const BuiltinCase cases[] = {
      {"log(\"x\")", "void"},
      {"print()", "void"},
      {"len(\"x\")", "i64"},
      {"length()", "i64"},
      {"abs()", "f64"},
      {"abs(\"s\")", "String"},
      {"sqrt()", "f64"},
      {"sqrt(1)", "i64"},
      {"as_f64(\"x\")", "f64"},
      {"as_i64(1.5)", "i64"},
      {"to_string(1)", "String"},
      {"parse_int(\"1\")", "i64"},
      {"char_at(\"a\", 0)", "String"},
      {"char_code(\"a\")", "i64"},
      {"char_from_code(65)", "String"},
      {"substring(\"abc\", 0, 1)", "String"},
      {"contains(\"a\", \"b\")", "bool"},
      {"bounded(1)", "bool"},
      {"push()", "[void]"},
      {"push([\"s\"], 1)", "[String]"},
      {"map_new()", "Map<String, void>"},
      {"map_get(map_new(), \"k\")", "void"},
      {"map_insert()", "Map<String, void>"},
      {"map_insert(1, 2, 3)", "i64"},
      {"map_has_key(1)", "bool"},
      {"map_keys(1)", "[String]"},
      {"map_size(1)", "i64"},
      {"path_exists(\"p\")", "bool"},
      {"path_is_safe(\"p\")", "bool"},
  };
  for (const BuiltinCase& c : cases) {
    const std::string body = "^let r: Handle = " + std::string(c.call) + ";";
    const std::string want =
        c.type == "void" ? "ok"
                         : "[TypeMismatch] Type mismatch: expected Handle, found " + std::string(c.type);
    const Case row{kFn, c.type == "void" ? std::string_view(body).substr(1) : body, want};
    run_cases({&row, 1});
  }
}

TEST(Checker, Pipelines) {
  constexpr std::string_view kP = "fn g(a: i64) -> bool { } fn h() { } fn f() {";
  const Case cases[] = {
      {kP, "^let r: Handle = 1 |> g;", "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      {kP, "let r = \"s\" ^|> g;", "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kP, "let r = 1 ^|> h;", "[TypeMismatch] Function 'h' takes no arguments for pipeline"},
      // A call's own arguments are neither checked nor counted.
      {kP, "^let r: Handle = 1 |> g(zz, 1, 2);",
       "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      {kP, "let r = 1 |> g ^|> g;", "[TypeMismatch] Type mismatch: expected i64, found bool"},
      // Built-ins are not consulted: a bare name is an identifier, a call an
      // ordinary call, and the pipeline is void.
      {kP, "let r = 1 |> ^len;", "[UndefinedVariable] Undefined variable 'len'"},
      {kP, "let r: Handle = \"s\" |> len(\"x\"); let s: Handle = 1 |> 2;", "ok"},
      {kP, "let r = 1 |> len(^zz);", "[UndefinedVariable] Undefined variable 'zz'"},
      {kP, "let r = ^zz |> g;", "[UndefinedVariable] Undefined variable 'zz'"},
      {kP, "let r = 1 |> ^zz;", "[UndefinedVariable] Undefined variable 'zz'"},
  };
  run_cases(cases);
}

TEST(Checker, MembersConstructionEnumsArraysIndexing) {
  constexpr std::string_view kR =
      "contract R { @1: a: i64, } enum Color { Red } fn f(s: Sealed<R>, c: Color, r: R, u: Nope) {";
  const Case cases[] = {
      {kR, "let x = s^.a;",
       "[TypeMismatch] Cannot access field 'a' through Sealed type. Sealed values must be unwrapped "
       "via `do Verify` before field access. Inner type: R"},
      {kR, "let x = s^.zzz;",
       "[TypeMismatch] Cannot access field 'zzz' through Sealed type. Sealed values must be "
       "unwrapped via `do Verify` before field access. Inner type: R"},
      {kR, "let x = 1; let y: Handle = x.foo; let z: Handle = Color.Red.x; let w: Handle = r.a.b.c;",
       "ok"},
      {kR, "let y = c^.x;", "[TypeMismatch] Unknown contract 'Color'"},
      {kR, "let y = u^.x;", "[TypeMismatch] Unknown contract 'Nope'"},
      {kR, "^let y: Handle = r.a;", "[TypeMismatch] Type mismatch: expected Handle, found i64"},
      {kR, "let y = r^.b;", "[TypeMismatch] Contract 'R' has no field 'b'"},
      {kR, "let q = query_conscience(p { });\n^let a: Handle = q.permitted;",
       "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      {kR, "let q = query_conscience(p { });\n^let a: Handle = q.category;",
       "[TypeMismatch] Type mismatch: expected Handle, found QueryCategory"},
      {kR, "let q = query_conscience(p { });\n^let a: Handle = q.guidance;",
       "[TypeMismatch] Type mismatch: expected Handle, found String"},
      {kR, "let q = query_conscience(p { });\nlet v = q^.verdict;",
       "[TypeMismatch] Contract 'ConscienceQuery' has no field 'verdict'"},
      // Construction: the contract first, then each value, then its field.
      {kR, "let x = ^Nope { a: zz };", "[TypeMismatch] Unknown contract 'Nope'"},
      {kR, "let x = R { b: \"ignored\" };", "ok"},
      {kR, "let x = R { b: ^zz };", "[UndefinedVariable] Undefined variable 'zz'"},
      {kR, "let x = ^R { a: \"s\" };", "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kR, "^let x: Handle = R { };", "[TypeMismatch] Type mismatch: expected Handle, found R"},
      {kR, "let e: Handle = Nope.A;", "ok"},
      {kR, "let e = ^Color.Blue;", "[TypeMismatch] Enum 'Color' has no variant 'Blue'"},
      {kR, "^let e: Handle = AnomalyType.Isolation;",
       "[TypeMismatch] Type mismatch: expected Handle, found AnomalyType"},
      {kR, "^let e: Handle = Provenance.UNTRUSTED_TAINTED;",
       "[TypeMismatch] Type mismatch: expected Handle, found Provenance"},
      {kR, "^let e: Handle = QueryCategory.CONSCIENCE_CORE;",
       "[TypeMismatch] Type mismatch: expected Handle, found QueryCategory"},
      {kR, "^let a: Handle = [];", "[TypeMismatch] Type mismatch: expected Handle, found [void]"},
      {kR, "^let a: Handle = [1, \"s\"];", "[TypeMismatch] Type mismatch: expected Handle, found [i64]"},
      {kR, "let a = [1, ^zz];", "[UndefinedVariable] Undefined variable 'zz'"},
      {kR, "^let a: Handle = [[1.5]];", "[TypeMismatch] Type mismatch: expected Handle, found [[f64]]"},
      {kR, "^let a: Handle = \"abc\"[0];", "[TypeMismatch] Type mismatch: expected Handle, found String"},
      {kR, "^let a: Handle = [true][0];", "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      {kR, "let a: Handle = map_new()[\"k\"]; let b: Handle = r[0];", "ok"},
      {kR, "^let a: Handle = [1][\"s\"];", "[TypeMismatch] Type mismatch: expected Handle, found i64"},
      {kR, "^let a: Handle = [[1]][0][0];", "[TypeMismatch] Type mismatch: expected Handle, found i64"},
      {kR, "let a = [1][^zz];", "[UndefinedVariable] Undefined variable 'zz'"},
  };
  run_cases(cases);
}

// Rules that look loose on purpose; tightening any would reject policies the
// system accepts.
TEST(Checker, LenientRulesStayLenient) {
  const Case cases[] = {
      {kFn, "let x: i64 = nope(); let s: Sealed<i64> = nope(); let t: Tensor[3] = nope();", "ok"},
      {kFn, "let a: [i64] = [\"s\"]; let m: Map<String, i64> = map_new();", "ok"},
      {"contract A { } contract B { } fn g(x: A) { } fn f() {", "g(B { });", "ok"},
      // A written void is a contract named void; a missing return type is
      // the real void.
      {"fn g() -> void { } fn h() { } fn f() {", "let y: i64 = h(); ^let x: i64 = g();",
       "[TypeMismatch] Type mismatch: expected i64, found void"},
      // An enumeration's name as a written type is a contract type.
      {"enum Color { Red } fn f() {", "^let c: Color = Color.Red;",
       "[TypeMismatch] Type mismatch: expected Color, found Color"},
      {"fn f(p: Provenance) {", "^p = Provenance.TRUSTED_INTERNAL;",
       "[TypeMismatch] Type mismatch: expected Provenance, found Provenance"},
      {kFn, "^let c: QueryCategory = QueryCategory.CHANNEL_POLICY;",
       "[TypeMismatch] Type mismatch: expected QueryCategory, found QueryCategory"},
      {kFn,
       "let q = query_conscience(p { }); let c = q.category;\n"
       "let same: bool = c == QueryCategory.CHANNEL_POLICY; c = QueryCategory.RESOURCE_POLICY;",
       "ok"},
      {"fn g(t: Tensor[3, 4]) { } fn f(u: Tensor[3], v: Tensor[3, 5], w: Tensor[?, batch]) {", "^g(u);",
       "[TypeMismatch] Tensor rank mismatch: expected 2 dimensions, found 1"},
      {"fn g(t: Tensor[3, 4]) { } fn f(u: Tensor[3], v: Tensor[3, 5], w: Tensor[?, batch]) {", "^g(v);",
       "[TypeMismatch] Tensor dimension 1 size mismatch: expected 4, found 5"},
      {"fn f(w: Tensor[?, batch]) {", "let a: Tensor[7, 3] = w; ^let b: Tensor[?, seq] = w;",
       "[TypeMismatch] Tensor dimension 1 name mismatch: expected 'seq', found 'batch'"},
      {"fn f(s: Sealed<i64>) {", "^let t: Sealed<String> = s;",
       "[TypeMismatch] Type mismatch: expected String, found i64"},
      {"fn f(s: Sealed<i64>) {", "let t: Sealed<f64> = s; ^let u: i64 = s;",
       "[TypeMismatch] Type mismatch: expected i64, found Sealed<i64>"},
  };
  run_cases(cases);
}

TEST(Checker, SafetyConstructs) {
  constexpr std::string_view kI =
      "intent Ask { gives: ok: bool; } intent Two { gives: a: i64, b: i64; } "
      "intent None { takes: n: i64; } contract Report { @1: a: i64, } "
      "intent Fetch { gives: r: Sealed<Report>; } fn f() {";
  const Case cases[] = {
      {kI, "^let r: Handle = do Ask { };", "[TypeMismatch] Type mismatch: expected Handle, found bool"},
      {kI, "^let r: Handle = do Two { };",
       "[TypeMismatch] Type mismatch: expected Handle, found IntentResult<Two>"},
      {kI, "^let r: Handle = do None { n: 1 };",
       "[TypeMismatch] Type mismatch: expected Handle, found IntentResult<None>"},
      {kI, "^let r: Handle = do Ghost { a: 1 };",
       "[TypeMismatch] Type mismatch: expected Handle, found IntentResult<Ghost>"},
      {kI, "let r = do Ghost { a: ^zz };", "[UndefinedVariable] Undefined variable 'zz'"},
      {kI, "let r = ^do None { n: \"s\" };", "[TypeMismatch] Type mismatch: expected i64, found String"},
      {kI, "let r = do None { n: 1.5, m: \"s\" }; let s = do None { };", "ok"},
      {kI, "let r = do None { m: ^zz };", "[UndefinedVariable] Undefined variable 'zz'"},
      {kI, "let r = do Fetch { }; let a = r^.a;",
       "[TypeMismatch] Cannot access field 'a' through Sealed type. Sealed values must be unwrapped "
       "via `do Verify` before field access. Inner type: Report"},
      {kI, "^let q: Handle = query_conscience(anything { x: 1, y: \"s\" });",
       "[TypeMismatch] Type mismatch: expected Handle, found ConscienceQuery"},
      {kI, "let q = query_conscience(anything { x: ^zz });",
       "[UndefinedVariable] Undefined variable 'zz'"},
      {kI, "let a: Handle = declare_anomaly(1, { a: 2 });", "ok"},
      {kI, "declare_anomaly(^zz, { });", "[UndefinedVariable] Undefined variable 'zz'"},
      {kI, "declare_anomaly(AnomalyType.Isolation, { why: ^zz });",
       "[UndefinedVariable] Undefined variable 'zz'"},
      {kI, "^let h: bool = collapse(\"x\");", "[TypeMismatch] Type mismatch: expected bool, found Handle"},
      {kI, "let h = collapse(^zz);", "[UndefinedVariable] Undefined variable 'zz'"},
      {kI, "let r: Handle = resolve(\"x\"); let s = resolve(^zz);",
       "[UndefinedVariable] Undefined variable 'zz'"},
      {"enum AnomalyType { Custom } fn f() {",
       "let a = AnomalyType.Custom; let b = ^AnomalyType.Isolation;",
       "[TypeMismatch] Enum 'AnomalyType' has no variant 'Isolation'"},
  };
  run_cases(cases);
}

// A policy of ten thousand functions with long bodies checks in one pass.
TEST(Checker, LargePolicy) {
  std::string source = "module Big {\n contract P { @1: a: i64, @2: s: String, }\n";
  for (int i = 0; i < 10000; ++i) {
    const std::string n = std::to_string(i);
    source += "fn f" + n + "(x: i64, p: P) -> i64 {\n";
    for (int j = 0; j < 10; ++j) {
      const std::string v = "v" + std::to_string(j);
      source += " let " + v + " = x + p.a * " + std::to_string(j) + ";\n";
      source += " if " + v + " > 3 { let t = P { a: " + v + ", s: to_string(" + v + ") }; }\n";
    }
    source += " loop (x < 10, 100) { x += 1; }\n";
    source += (i > 0 ? " return f" + std::to_string(i - 1) + "(x, p);\n" : " return x;\n");
    source += "}\n";
  }
  source += "}\n";
  EXPECT_EQ(check(source), "ok");
}

// Types may grow one level per statement; the checker neither copies nor
// releases them recursively.
TEST(Checker, DeepTypeFromManyStatements) {
  constexpr int kDepth = 50000;
  std::string source = "module M { fn f() {\nlet a = 1;\n";
  for (int i = 0; i < kDepth; ++i) {
    source += "let a = [a];\n";
  }
  source += "let b: bool = a;\n} }";
  const std::string want = "[TypeMismatch] Error at line " + std::to_string(kDepth + 3) +
                           ":1: Type mismatch: expected bool, found " + std::string(kDepth, '[') +
                           "i64" + std::string(kDepth, ']');
  EXPECT_EQ(check(source), want);
}

TEST(Checker, NestingAtTheParsersLimit) {
  // Each shape nested as deep as the parser accepts, around an undefined
  // name: `lead`, then `open` per level, `core`, then `close` per level.
  struct Shape {
    std::string_view lead;
    std::string_view open;
    std::string_view core;
    std::string_view close;
  };
  const Shape shapes[] = {
      {"", "if true { ", "let x = zz;", " }"},
      {"let x = ", "[", "zz", "]"},
      {"let x = ", "-", "zz", ""},
      {"let x = ", "", "zz", " + 1"},
      {"let x = ", "", "zz", "[0].a"},
      {"let x = ", "", "zz", " |> g"},
  };
  for (const Shape& shape : shapes) {
    std::string accepted;
    for (std::size_t depth = kMaxNestingDepth; depth > 0 && accepted.empty(); --depth) {
      std::string body(shape.lead);
      for (std::size_t i = 0; i < depth; ++i) {
        body += shape.open;
      }
      body += shape.core;
      for (std::size_t i = 0; i < depth; ++i) {
        body += shape.close;
      }
      const std::string source = "module M { fn g(a: i64) { } fn f() {\n" + body +
                                 (shape.lead.empty() ? "" : ";") + "\n} }";
      if (parse_source(source)) {
        accepted = source;
      }
    }
    SCOPED_TRACE(accepted);
    ASSERT_FALSE(accepted.empty());
    const std::size_t column = accepted.find("zz") - accepted.find('\n');
    EXPECT_EQ(check(accepted), "[UndefinedVariable] Error at line 2:" + std::to_string(column) +
                                   ": Undefined variable 'zz'");
  }
}

TEST(Checker, ScopesThroughTheInterface) {
  Checker checker;
  const Span span{0, 1, 7, 9};
  checker.declare_variable("x", Type::I64{});
  checker.open_scope();
  checker.declare_variable("x", Type::String{});
  checker.declare_variable("x", Type::Bool{});
  ASSERT_TRUE(checker.lookup_variable("x", span).has_value());
  EXPECT_EQ(type_text(*checker.lookup_variable("x", span)), "bool");
  checker.close_scope();
  EXPECT_EQ(type_text(*checker.lookup_variable("x", span)), "i64");
  EXPECT_EQ(type_text(*checker.lookup_variable("ConscienceQuery", span)), "ConscienceQuery");
  EXPECT_TRUE(checker.lookup_variable("AnomalyType", span)->is<Type::Enum>());
  EXPECT_EQ(checker.lookup_variable("y", span).error().text(),
            "[UndefinedVariable] Error at line 7:9: Undefined variable 'y'");
}

}  // namespace
}  // namespace ordel
