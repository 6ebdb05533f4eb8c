#include "checker/types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ordel {
namespace {

TensorDim fixed(std::uint64_t size) { return TensorDim{TensorDim::Fixed{size}}; }
TensorDim named(std::string name) { return TensorDim{TensorDim::Named{std::move(name)}}; }
TensorDim wildcard() { return TensorDim{TensorDim::Wildcard{}}; }

Type tensor(std::vector<TensorDim> dims) { return Type::Tensor{std::move(dims)}; }
Type contract(std::string name) { return Type::Contract{std::move(name)}; }
Type enumeration(std::string name) { return Type::Enum{std::move(name)}; }
Type function(std::vector<Type> params, Type ret) {
  return Type::Function{std::move(params), TypeBox(std::move(ret))};
}

TEST(Types, TextForms) {
  struct Case {
    Type type;
    std::string want;
  };
  const Case cases[] = {
      {Type::I64{}, "i64"},
      {Type::F64{}, "f64"},
      {Type::Bool{}, "bool"},
      {Type::String{}, "String"},
      {Type::Bytes{}, "Bytes"},
      {Type::Handle{}, "Handle"},
      {Type::Provenance{}, "Provenance"},
      {Type::Seed{}, "Seed"},
      {Type::AgentId{}, "AgentId"},
      {Type::PrivilegeId{}, "PrivilegeId"},
      {Type::Void{}, "void"},
      {Type{}, "void"},
      {array_type(Type::I64{}), "[i64]"},
      {map_type(Type::String{}, array_type(Type::I64{})), "Map<String, [i64]>"},
      {sealed_type(map_type(Type::String{}, Type::I64{})), "Sealed<Map<String, i64>>"},
      {function({Type::I64{}, array_type(Type::String{})}, Type::Bool{}),
       "fn(i64, [String]) -> bool"},
      {function({}, Type::Void{}), "fn() -> void"},
      {function({map_type(Type::I64{}, Type::Bool{})}, sealed_type(contract("R"))),
       "fn(Map<i64, bool>) -> Sealed<R>"},
      {tensor({fixed(3), wildcard(), named("batch")}), "Tensor[3, ?, batch]"},
      {tensor({}), "Tensor[]"},
      {Type::IntentResult{"Fetch"}, "IntentResult<Fetch>"},
      {contract("Report"), "Report"},
      {enumeration("Color"), "Color"},
      {array_type(array_type(sealed_type(tensor({fixed(18446744073709551615ULL)})))),
       "[[Sealed<Tensor[18446744073709551615]>]]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(type_text(c.type), c.want);
  }
}

TEST(Types, CopiesAreIndependentValues) {
  Type original = map_type(Type::String{}, array_type(Type::I64{}));
  Type copy = original;
  original = Type::Bool{};
  EXPECT_EQ(type_text(copy), "Map<String, [i64]>");
  EXPECT_EQ(type_text(original), "bool");
}

// A type thousands of levels deep can arise from one `let` per level; its
// text, copies and release must not recurse.
TEST(Types, DeepTypesNeedNoRecursion) {
  constexpr std::size_t kDepth = 200000;
  Type type = Type::I64{};
  for (std::size_t i = 0; i < kDepth; ++i) {
    type = (i % 2 == 0) ? array_type(std::move(type)) : sealed_type(std::move(type));
  }
  Type copy = type;
  const std::string text = type_text(copy);
  EXPECT_EQ(text.size(), 3 + kDepth / 2 * (2 + 8));
  EXPECT_EQ(text.substr(0, 9), "Sealed<[S");
  EXPECT_TRUE(expect_type(type, copy, Span{}).has_value());
  type = Type::Void{};
  copy = Type::Void{};
}

TypeExpr named_expr(std::string name) { return TypeExpr{TypeExpr::Named{std::move(name), {}}}; }
TypeExpr array_expr(TypeExpr element) {
  return TypeExpr{TypeExpr::Array{std::make_unique<TypeExpr>(std::move(element)), {}}};
}
TypeExpr map_expr(TypeExpr key, TypeExpr value) {
  return TypeExpr{TypeExpr::Map{std::make_unique<TypeExpr>(std::move(key)),
                                std::make_unique<TypeExpr>(std::move(value)), {}}};
}
TypeExpr sealed_expr(TypeExpr inner) {
  return TypeExpr{TypeExpr::Sealed{std::make_unique<TypeExpr>(std::move(inner)), {}}};
}

TEST(Types, ResolveScalarNames) {
  const char* const names[] = {"i64",        "f64",  "bool",    "String",     "Bytes",
                               "Handle",     "Provenance", "Seed", "AgentId", "PrivilegeId"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    SCOPED_TRACE(names[i]);
    const Type type = resolve_type(named_expr(names[i]));
    EXPECT_EQ(type.node.index(), i);
    EXPECT_EQ(type_text(type), names[i]);
  }
}

TEST(Types, ResolveOtherNamesToContracts) {
  // A written void, an enumeration's name and a misspelt scalar are all
  // contract names; no table is consulted.
  for (const char* name : {"void", "Color", "I64", "string", "Report"}) {
    SCOPED_TRACE(name);
    const Type type = resolve_type(named_expr(name));
    ASSERT_TRUE(type.is<Type::Contract>());
    EXPECT_EQ(std::get<Type::Contract>(type.node).name, name);
  }
}

TEST(Types, ResolveComposite) {
  EXPECT_EQ(type_text(resolve_type(array_expr(named_expr("i64")))), "[i64]");
  EXPECT_EQ(type_text(resolve_type(map_expr(named_expr("String"), sealed_expr(named_expr("R"))))),
            "Map<String, Sealed<R>>");
  const Type tensor_type = resolve_type(
      TypeExpr{TypeExpr::Tensor{{fixed(3), wildcard(), named("batch")}, {}}});
  EXPECT_EQ(type_text(tensor_type), "Tensor[3, ?, batch]");
}

TEST(Types, ExpectType) {
  struct Case {
    const char* name;
    Type expected;
    Type found;
    std::string want;  // empty: compatible
  };
  const Case cases[] = {
      {"i64 takes f64", Type::I64{}, Type::F64{}, ""},
      {"f64 takes i64", Type::F64{}, Type::I64{}, ""},
      {"bool vs i64", Type::Bool{}, Type::I64{}, "Type mismatch: expected bool, found i64"},
      {"String vs bool", Type::String{}, Type::Bool{}, "Type mismatch: expected String, found bool"},
      {"void expected", Type::Void{}, sealed_type(Type::I64{}), ""},
      {"void found", sealed_type(Type::I64{}), Type::Void{}, ""},
      {"void vs tensor", Type::Void{}, tensor({fixed(3)}), ""},
      {"tensor vs void", tensor({fixed(3)}), Type::Void{}, ""},
      {"arrays: outer only", array_type(Type::I64{}), array_type(Type::String{}), ""},
      {"maps: outer only", map_type(Type::String{}, Type::I64{}), map_type(Type::I64{}, Type::Bool{}),
       ""},
      {"contracts: outer only", contract("A"), contract("B"), ""},
      {"enums: outer only", enumeration("A"), enumeration("B"), ""},
      {"functions: outer only", function({Type::I64{}}, Type::Bool{}), function({}, Type::Void{}),
       ""},
      {"intent results: outer only", Type::IntentResult{"A"}, Type::IntentResult{"B"}, ""},
      {"array vs map", array_type(Type::I64{}), map_type(Type::I64{}, Type::I64{}),
       "Type mismatch: expected [i64], found Map<i64, i64>"},
      {"sealed inner mismatch", sealed_type(Type::I64{}), sealed_type(Type::String{}),
       "Type mismatch: expected i64, found String"},
      {"sealed vs plain", sealed_type(Type::I64{}), Type::I64{},
       "Type mismatch: expected Sealed<i64>, found i64"},
      {"plain vs sealed", Type::I64{}, sealed_type(Type::I64{}),
       "Type mismatch: expected i64, found Sealed<i64>"},
      {"sealed numeric", sealed_type(Type::I64{}), sealed_type(Type::F64{}), ""},
      {"sealed void inner", sealed_type(Type::I64{}), sealed_type(Type::Void{}), ""},
      {"doubly sealed", sealed_type(sealed_type(Type::I64{})), sealed_type(sealed_type(Type::Bool{})),
       "Type mismatch: expected i64, found bool"},
      {"sealed tensors", sealed_type(tensor({fixed(3)})), sealed_type(tensor({fixed(4)})),
       "Tensor dimension 0 size mismatch: expected 3, found 4"},
      {"tensor rank", tensor({fixed(3), fixed(4)}), tensor({fixed(3)}),
       "Tensor rank mismatch: expected 2 dimensions, found 1"},
      {"tensor size", tensor({fixed(3), fixed(4)}), tensor({fixed(3), fixed(5)}),
       "Tensor dimension 1 size mismatch: expected 4, found 5"},
      {"tensor name", tensor({named("batch")}), tensor({named("seq")}),
       "Tensor dimension 0 name mismatch: expected 'batch', found 'seq'"},
      {"first failing dimension wins", tensor({wildcard(), named("a"), fixed(1)}),
       tensor({fixed(9), named("b"), fixed(2)}),
       "Tensor dimension 1 name mismatch: expected 'a', found 'b'"},
      {"fixed vs named", tensor({fixed(3)}), tensor({named("batch")}), ""},
      {"named vs fixed", tensor({named("batch")}), tensor({fixed(3)}), ""},
      {"wildcard vs fixed", tensor({wildcard()}), tensor({fixed(7)}), ""},
      {"fixed vs wildcard", tensor({fixed(7)}), tensor({wildcard()}), ""},
      {"empty tensors", tensor({}), tensor({}), ""},
      {"tensor vs array", tensor({}), array_type(Type::I64{}),
       "Type mismatch: expected Tensor[], found [i64]"},
      {"enum name as written type", resolve_type(named_expr("Color")), enumeration("Color"),
       "Type mismatch: expected Color, found Color"},
      {"scalar vs enum Provenance", resolve_type(named_expr("Provenance")),
       enumeration("Provenance"), "Type mismatch: expected Provenance, found Provenance"},
      {"written void is a contract", Type::I64{}, resolve_type(named_expr("void")),
       "Type mismatch: expected i64, found void"},
      {"real void passes", Type::I64{}, Type::Void{}, ""},
      {"contract vs enum", contract("A"), enumeration("A"), "Type mismatch: expected A, found A"},
      {"intent result vs contract", Type::IntentResult{"Fetch"}, contract("Fetch"),
       "Type mismatch: expected IntentResult<Fetch>, found Fetch"},
  };
  const Span span{10, 12, 3, 5};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<void> result = expect_type(c.expected, c.found, span);
    if (c.want.empty()) {
      EXPECT_TRUE(result.has_value()) << result.error().text();
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, ErrorKind::TypeMismatch);
      EXPECT_EQ(result.error().span, span);
      EXPECT_EQ(result.error().text(), "[TypeMismatch] Error at line 3:5: " + c.want);
    }
  }
}

}  // namespace
}  // namespace ordel
