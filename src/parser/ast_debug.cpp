// Structural debug rendering of syntax-tree nodes.
#include <charconv>

#include "lexer/token.h"
#include "parser/ast.h"

namespace ordel {

namespace {

class Renderer {
 public:
  std::string take() { return std::move(out_); }

  void text(std::string_view s) {
    out_ += '"';
    for (const char c : s) {
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        case '\0': out_ += "\\0"; break;
        default: out_ += c; break;
      }
    }
    out_ += '"';
  }

  void number(std::int64_t value) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, end);
  }
  void number(std::uint64_t value) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, end);
  }

  void raw(std::string_view s) { out_ += s; }
  void sep() { out_ += ", "; }

  template <typename T, typename F>
  void list(const std::vector<T>& items, F&& each) {
    out_ += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) sep();
      each(items[i]);
    }
    out_ += ']';
  }
  void names(const std::vector<std::string>& items) {
    list(items, [&](const std::string& s) { text(s); });
  }
  void optional_text(const std::optional<std::string>& s) {
    if (s) text(*s); else raw("None");
  }
  void fields(const std::vector<FieldValue>& items) {
    out_ += '{';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) sep();
      text(items[i].name);
      raw(": ");
      expr(items[i].value);
    }
    out_ += '}';
  }

  void type(const TypeExpr& t) {
    std::visit(overloaded{
                   [&](const TypeExpr::Named& n) { raw("Named("); text(n.name); raw(")"); },
                   [&](const TypeExpr::Array& n) { raw("Array("); type(*n.element); raw(")"); },
                   [&](const TypeExpr::Map& n) {
                     raw("Map(");
                     type(*n.key);
                     sep();
                     type(*n.value);
                     raw(")");
                   },
                   [&](const TypeExpr::Tensor& n) {
                     raw("Tensor(");
                     list(n.dims, [&](const TensorDim& d) { dim(d); });
                     raw(")");
                   },
                   [&](const TypeExpr::Sealed& n) { raw("Sealed("); type(*n.inner); raw(")"); },
               },
               t.node);
  }
  void optional_type(const std::optional<TypeExpr>& t) {
    if (t) type(*t); else raw("None");
  }

  void dim(const TensorDim& d) {
    std::visit(overloaded{
                   [&](const TensorDim::Named& n) { raw("Named("); text(n.name); raw(")"); },
                   [&](const TensorDim::Fixed& n) { raw("Fixed("); number(n.size); raw(")"); },
                   [&](const TensorDim::Wildcard&) { raw("Wildcard"); },
               },
               d.value);
  }

  void expr(const Expr& e) {
    std::visit(
        overloaded{
            [&](const Expr::IntLiteral& n) { raw("IntLiteral("); number(n.value); raw(")"); },
            [&](const Expr::FloatLiteral& n) {
              raw("FloatLiteral(");
              raw(float_text(n.value));
              raw(")");
            },
            [&](const Expr::StringLiteral& n) { raw("StringLiteral("); text(n.value); raw(")"); },
            [&](const Expr::BoolLiteral& n) {
              raw(n.value ? "BoolLiteral(true)" : "BoolLiteral(false)");
            },
            [&](const Expr::Ident& n) { raw("Ident("); text(n.name); raw(")"); },
            [&](const Expr::Binary& n) {
              raw("Binary(");
              expr(*n.left);
              sep();
              raw(op_name(n.op));
              sep();
              expr(*n.right);
              raw(")");
            },
            [&](const Expr::Unary& n) {
              raw("Unary(");
              raw(op_name(n.op));
              sep();
              expr(*n.operand);
              raw(")");
            },
            [&](const Expr::Call& n) {
              raw("Call(");
              text(n.name);
              sep();
              list(n.args, [&](const Expr& a) { expr(a); });
              raw(")");
            },
            [&](const Expr::Pipeline& n) {
              raw("Pipeline(");
              expr(*n.left);
              sep();
              expr(*n.right);
              raw(")");
            },
            [&](const Expr::FieldAccess& n) {
              raw("FieldAccess(");
              expr(*n.object);
              sep();
              text(n.field);
              raw(")");
            },
            [&](const Expr::ContractInit& n) {
              raw("ContractInit(");
              text(n.name);
              sep();
              fields(n.fields);
              raw(")");
            },
            [&](const Expr::Do& n) {
              raw("Do(");
              text(n.action);
              sep();
              fields(n.args);
              raw(")");
            },
            [&](const Expr::QueryConscience& n) {
              raw("QueryConscience(");
              text(n.predicate);
              sep();
              fields(n.args);
              raw(")");
            },
            [&](const Expr::DeclareAnomaly& n) {
              raw("DeclareAnomaly(");
              expr(*n.subject);
              sep();
              fields(n.details);
              raw(")");
            },
            [&](const Expr::Collapse& n) { raw("Collapse("); expr(*n.operand); raw(")"); },
            [&](const Expr::Resolve& n) { raw("Resolve("); expr(*n.operand); raw(")"); },
            [&](const Expr::ArrayLiteral& n) {
              raw("ArrayLiteral(");
              list(n.elements, [&](const Expr& a) { expr(a); });
              raw(")");
            },
            [&](const Expr::EnumAccess& n) {
              raw("EnumAccess(");
              text(n.names->enum_name);
              sep();
              text(n.names->variant);
              raw(")");
            },
            [&](const Expr::Block& n) { raw("Block("); block(n.block); raw(")"); },
            [&](const Expr::Index& n) {
              raw("Index(");
              expr(*n.object);
              sep();
              expr(*n.index);
              raw(")");
            },
        },
        e.node);
  }

  void block(const Block& b) {
    raw("Block(");
    list(b.stmts, [&](const Stmt& s) { stmt(s); });
    raw(")");
  }

  void pattern(const Pattern& p) {
    std::visit(
        overloaded{
            [&](const Pattern::IntLiteral& n) { raw("IntLiteral("); number(n.value); raw(")"); },
            [&](const Pattern::FloatLiteral& n) {
              raw("FloatLiteral(");
              raw(float_text(n.value));
              raw(")");
            },
            [&](const Pattern::StringLiteral& n) {
              raw("StringLiteral(");
              text(n.value);
              raw(")");
            },
            [&](const Pattern::BoolLiteral& n) {
              raw(n.value ? "BoolLiteral(true)" : "BoolLiteral(false)");
            },
            [&](const Pattern::Ident& n) { raw("Ident("); text(n.name); raw(")"); },
            [&](const Pattern::Wildcard&) { raw("Wildcard"); },
            [&](const Pattern::EnumVariant& n) {
              raw("EnumVariant(");
              text(n.enum_name);
              sep();
              text(n.variant);
              raw(")");
            },
        },
        p.node);
  }

  void stmt(const Stmt& s) {
    std::visit(
        overloaded{
            [&](const Stmt::Let& n) {
              raw("Let(");
              text(n.name);
              sep();
              optional_type(n.ty);
              sep();
              expr(n.value);
              raw(")");
            },
            [&](const Stmt::Return& n) {
              raw("Return(");
              if (n.value) expr(*n.value); else raw("None");
              raw(")");
            },
            [&](const Stmt::If& n) {
              raw("If(");
              expr(n.condition);
              sep();
              block(n.then_block);
              sep();
              if (n.else_block) block(*n.else_block); else raw("None");
              raw(")");
            },
            [&](const Stmt::Loop& n) {
              raw("Loop(");
              expr(n.condition);
              sep();
              expr(n.max_iter);
              sep();
              block(n.body);
              raw(")");
            },
            [&](const Stmt::Match& n) {
              raw("Match(");
              expr(n.value);
              sep();
              list(n.arms, [&](const MatchArm& arm) {
                raw("MatchArm(");
                pattern(arm.pattern);
                sep();
                expr(arm.body);
                raw(")");
              });
              raw(")");
            },
            [&](const Stmt::Expr& n) { raw("Expr("); expr(n.expr); raw(")"); },
            [&](const Stmt::Assign& n) {
              raw("Assign(");
              text(n.target);
              sep();
              raw(op_name(n.op));
              sep();
              expr(n.value);
              raw(")");
            },
            [&](const Stmt::Break&) { raw("Break"); },
            [&](const Stmt::Continue&) { raw("Continue"); },
        },
        s.node);
  }

  void params(const std::vector<Param>& ps) {
    list(ps, [&](const Param& p) {
      raw("Param(");
      text(p.name);
      sep();
      type(p.ty);
      raw(")");
    });
  }

  void attributes(const std::vector<Attribute>& attrs) {
    list(attrs, [&](const Attribute& a) {
      raw("Attribute(");
      text(a.name);
      sep();
      list(a.args, [&](const AttributeArg& arg) {
        std::visit(overloaded{
                       [&](const AttributeArg::Named& n) {
                         raw("Named(");
                         text(n.key);
                         sep();
                         text(n.value);
                         raw(")");
                       },
                       [&](const AttributeArg::Positional& n) {
                         raw("Positional(");
                         text(n.value);
                         raw(")");
                       },
                   },
                   arg.node);
      });
      raw(")");
    });
  }

  void exprs(const std::vector<Expr>& es) {
    list(es, [&](const Expr& e) { expr(e); });
  }

  void declaration(const Declaration& d) {
    std::visit(
        overloaded{
            [&](const ImportDecl& n) { raw("ImportDecl("); text(n.path); raw(")"); },
            [&](const FunctionDecl& n) {
              raw("FunctionDecl(");
              text(n.name);
              sep();
              params(n.params);
              sep();
              optional_type(n.return_type);
              sep();
              block(n.body);
              sep();
              attributes(n.attributes);
              sep();
              raw(n.exported ? "true" : "false");
              raw(")");
            },
            [&](const ContractDecl& n) {
              raw("ContractDecl(");
              text(n.name);
              sep();
              list(n.fields, [&](const ContractField& f) {
                raw("ContractField(");
                text(f.name);
                sep();
                type(f.ty);
                sep();
                optional_text(f.conflict);
                sep();
                number(static_cast<std::uint64_t>(f.index));
                raw(")");
              });
              sep();
              if (n.invariants) exprs(*n.invariants); else raw("None");
              sep();
              if (n.composition) names(*n.composition); else raw("None");
              raw(")");
            },
            [&](const IntentDecl& n) {
              raw("IntentDecl(");
              text(n.name);
              sep();
              params(n.takes);
              sep();
              params(n.gives);
              sep();
              exprs(n.pre);
              sep();
              exprs(n.post);
              sep();
              list(n.bound, [&](const IntentBound& b) {
                raw("IntentBound(");
                text(b.name);
                sep();
                text(b.value);
                raw(")");
              });
              sep();
              optional_text(n.effect);
              sep();
              names(n.conscience);
              sep();
              optional_text(n.fallback);
              sep();
              optional_text(n.rollback);
              sep();
              optional_text(n.trace);
              sep();
              if (n.ring) number(*n.ring); else raw("None");
              sep();
              if (n.composition) names(*n.composition); else raw("None");
              sep();
              attributes(n.attributes);
              raw(")");
            },
            [&](const EnumDecl& n) {
              raw("EnumDecl(");
              text(n.name);
              sep();
              list(n.variants, [&](const VariantDecl& v) {
                raw("VariantDecl(");
                text(v.name);
                sep();
                params(v.fields);
                raw(")");
              });
              raw(")");
            },
            [&](const TensorOpDecl& n) {
              raw("TensorOpDecl(");
              text(n.name);
              sep();
              params(n.takes);
              sep();
              params(n.gives);
              sep();
              if (n.expression) expr(*n.expression); else raw("None");
              raw(")");
            },
        },
        d.node);
  }

  void module(const Module& m) {
    raw("Module(");
    text(m.name);
    sep();
    list(m.declarations, [&](const Declaration& d) { declaration(d); });
    sep();
    attributes(m.attributes);
    raw(")");
  }

 private:
  std::string out_;
};

template <typename Node, typename Method>
std::string render(const Node& node, Method method) {
  Renderer r;
  (r.*method)(node);
  return r.take();
}

}  // namespace

std::string debug_text(const Expr& expr) { return render(expr, &Renderer::expr); }
std::string debug_text(const Stmt& stmt) { return render(stmt, &Renderer::stmt); }
std::string debug_text(const TypeExpr& type) { return render(type, &Renderer::type); }
std::string debug_text(const Pattern& pattern) { return render(pattern, &Renderer::pattern); }
std::string debug_text(const Declaration& declaration) {
  return render(declaration, &Renderer::declaration);
}
std::string debug_text(const Module& module) { return render(module, &Renderer::module); }

}  // namespace ordel
