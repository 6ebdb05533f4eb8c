// Checker state, built-in vocabulary, the two passes and the statement rules.
#include "checker/checker.h"

#include <utility>

namespace ordel {

namespace {

const std::string& name_of_field(const FieldInfo& field) { return field.name; }
const std::string& name_of_variant(const std::string& variant) { return variant; }

std::vector<FieldInfo> resolve_params(const std::vector<Param>& params) {
  std::vector<FieldInfo> out;
  out.reserve(params.size());
  for (const Param& param : params) {
    out.push_back(FieldInfo{param.name, resolve_type(param.ty)});
  }
  return out;
}

EnumInfo make_enum(std::string name, std::vector<std::string> variants) {
  EnumInfo info{std::move(name), std::move(variants), {}};
  info.index();
  return info;
}

}  // namespace

void ContractInfo::index() { field_index.build(fields, name_of_field); }

const FieldInfo* ContractInfo::find_field(std::string_view field) const {
  const std::size_t i = field_index.find(fields, name_of_field, field);
  return i == FirstIndex::kNotFound ? nullptr : &fields[i];
}

void IntentInfo::index() { takes_index.build(takes, name_of_field); }

const FieldInfo* IntentInfo::find_input(std::string_view input) const {
  const std::size_t i = takes_index.find(takes, name_of_field, input);
  return i == FirstIndex::kNotFound ? nullptr : &takes[i];
}

void EnumInfo::index() { variant_index.build(variants, name_of_variant); }

bool EnumInfo::has_variant(std::string_view variant) const {
  return variant_index.find(variants, name_of_variant, variant) != FirstIndex::kNotFound;
}

Checker::Checker() : scope_starts_{0} {
  ContractInfo conscience_query{"ConscienceQuery",
                                {
                                    {"permitted", Type::Bool{}},
                                    {"category", Type::Enum{"QueryCategory"}},
                                    {"guidance", Type::String{}},
                                },
                                {}};
  conscience_query.index();
  contracts_.emplace("ConscienceQuery", std::move(conscience_query));

  enums_.emplace("QueryCategory",
                 make_enum("QueryCategory", {"CHANNEL_POLICY", "RESOURCE_POLICY",
                                             "IRREVERSIBLE_ACTION", "CONSCIENCE_CORE"}));
  enums_.emplace("AnomalyType",
                 make_enum("AnomalyType", {"ResourceStarvation", "RepeatedRejection",
                                           "CoherenceConcern", "ConstraintAmbiguity", "Isolation"}));
  enums_.emplace("Provenance", make_enum("Provenance", {"TRUSTED_INTERNAL", "TRUSTED_VERIFIED",
                                                        "UNTRUSTED_EXTERNAL", "UNTRUSTED_TAINTED"}));
}

// ---- Scopes ----------------------------------------------------------------

void Checker::open_scope() { scope_starts_.push_back(bindings_.size()); }

void Checker::close_scope() {
  if (scope_starts_.size() <= 1) {
    return;
  }
  const std::size_t start = scope_starts_.back();
  scope_starts_.pop_back();
  while (bindings_.size() > start) {
    Binding& binding = bindings_.back();
    *binding.slot = binding.shadowed;
    bindings_.pop_back();
  }
}

void Checker::declare_variable(std::string_view name, Type type) {
  auto it = latest_.find(name);
  if (it == latest_.end()) {
    it = latest_.emplace(std::string(name), kUnbound).first;
  }
  // Map nodes keep their address across rehashing, so bindings may point at
  // their slot.
  std::size_t& slot = it->second;
  if (slot != kUnbound && slot >= scope_starts_.back()) {
    bindings_[slot].type = std::move(type);
    return;
  }
  bindings_.push_back(Binding{std::move(type), &slot, slot});
  slot = bindings_.size() - 1;
}

Result<Type> Checker::lookup_variable(std::string_view name, const Span& span) const {
  if (auto it = latest_.find(name); it != latest_.end() && it->second != kUnbound) {
    return bindings_[it->second].type;
  }
  if (contracts_.contains(name)) {
    return Type::Contract{std::string(name)};
  }
  if (enums_.contains(name)) {
    return Type::Enum{std::string(name)};
  }
  return fail(ErrorKind::UndefinedVariable, "Undefined variable '" + std::string(name) + "'", span);
}

// ---- Passes ----------------------------------------------------------------

Result<void> Checker::check_module(const Module& module) {
  for (const Declaration& declaration : module.declarations) {
    register_declaration(declaration);
  }
  for (const Declaration& declaration : module.declarations) {
    if (const auto* function = std::get_if<FunctionDecl>(&declaration.node)) {
      ORDEL_TRY(check_function_body(*function));
    }
  }
  return {};
}

void Checker::register_declaration(const Declaration& declaration) {
  std::visit(overloaded{
                 [](const ImportDecl&) {},
                 [this](const FunctionDecl& function) {
                   Type::Function signature{{}, TypeBox(Type::Void{})};
                   signature.params.reserve(function.params.size());
                   for (const Param& param : function.params) {
                     signature.params.push_back(resolve_type(param.ty));
                   }
                   if (function.return_type) {
                     signature.ret = TypeBox(resolve_type(*function.return_type));
                   }
                   functions_.insert_or_assign(function.name, std::move(signature));
                 },
                 [this](const ContractDecl& contract) {
                   ContractInfo info{contract.name, {}, {}};
                   if (!contract.composition) {
                     info.fields.reserve(contract.fields.size());
                     for (const ContractField& field : contract.fields) {
                       info.fields.push_back(FieldInfo{field.name, resolve_type(field.ty)});
                     }
                   }
                   info.index();
                   contracts_.insert_or_assign(contract.name, std::move(info));
                 },
                 [this](const IntentDecl& intent) {
                   IntentInfo info{intent.name, {}, {}, {}};
                   if (!intent.composition) {
                     info.takes = resolve_params(intent.takes);
                     info.gives = resolve_params(intent.gives);
                   }
                   info.index();
                   intents_.insert_or_assign(intent.name, std::move(info));
                 },
                 [this](const EnumDecl& enumeration) {
                   std::vector<std::string> variants;
                   variants.reserve(enumeration.variants.size());
                   for (const VariantDecl& variant : enumeration.variants) {
                     variants.push_back(variant.name);
                   }
                   enums_.insert_or_assign(enumeration.name,
                                           make_enum(enumeration.name, std::move(variants)));
                 },
                 [](const TensorOpDecl&) {},
             },
             declaration.node);
}

Result<void> Checker::check_function_body(const FunctionDecl& function) {
  open_scope();
  for (const Param& param : function.params) {
    declare_variable(param.name, resolve_type(param.ty));
  }
  ORDEL_TRY(check_block(function.body));
  close_scope();
  return {};
}

// ---- Statements ------------------------------------------------------------

Result<void> Checker::check_block(const Block& block) {
  for (const Stmt& stmt : block.stmts) {
    ORDEL_TRY(check_stmt(stmt));
  }
  return {};
}

Result<void> Checker::check_scoped_block(const Block& block) {
  open_scope();
  ORDEL_TRY(check_block(block));
  close_scope();
  return {};
}

Result<void> Checker::check_stmt(const Stmt& stmt) {
  return std::visit(
      overloaded{
          [this](const Stmt::Let& let) -> Result<void> {
            ORDEL_ASSIGN_OR_RETURN(Type value, check_expr(let.value));
            if (!let.ty) {
              declare_variable(let.name, std::move(value));
              return {};
            }
            Type declared = resolve_type(*let.ty);
            ORDEL_TRY(expect_type(declared, value, let.span));
            declare_variable(let.name, std::move(declared));
            return {};
          },
          [this](const Stmt::Return& ret) -> Result<void> {
            if (ret.value) {
              ORDEL_TRY(check_expr(*ret.value));
            }
            return {};
          },
          [this](const Stmt::If& branch) -> Result<void> {
            ORDEL_ASSIGN_OR_RETURN(Type condition, check_expr(branch.condition));
            ORDEL_TRY(expect_type(Type::Bool{}, condition, branch.span));
            ORDEL_TRY(check_scoped_block(branch.then_block));
            if (branch.else_block) {
              ORDEL_TRY(check_scoped_block(*branch.else_block));
            }
            return {};
          },
          [this](const Stmt::Loop& loop) -> Result<void> {
            ORDEL_ASSIGN_OR_RETURN(Type condition, check_expr(loop.condition));
            ORDEL_TRY(expect_type(Type::Bool{}, condition, loop.span));
            ORDEL_ASSIGN_OR_RETURN(Type max_iter, check_expr(loop.max_iter));
            ORDEL_TRY(expect_type(Type::I64{}, max_iter, loop.span));
            return check_scoped_block(loop.body);
          },
          [this](const Stmt::Match& match) -> Result<void> {
            // Patterns bind nothing and are not compared with the value.
            ORDEL_TRY(check_expr(match.value));
            for (const MatchArm& arm : match.arms) {
              ORDEL_TRY(check_expr(arm.body));
            }
            return {};
          },
          [this](const Stmt::Expr& expr) -> Result<void> {
            ORDEL_TRY(check_expr(expr.expr));
            return {};
          },
          [this](const Stmt::Assign& assign) -> Result<void> {
            // The operator does not change the rule: `+=` and `-=` check like `=`.
            ORDEL_ASSIGN_OR_RETURN(Type target, lookup_variable(assign.target, assign.span));
            ORDEL_ASSIGN_OR_RETURN(Type value, check_expr(assign.value));
            return expect_type(target, value, assign.span);
          },
          [](const Stmt::Break&) -> Result<void> { return {}; },
          [](const Stmt::Continue&) -> Result<void> { return {}; },
      },
      stmt.node);
}

}  // namespace ordel
