// The awaitable operations of ordel_py: their call phase and their jobs.
//
// The call phase runs on the calling thread with the interpreter lock held:
// it matches and converts the arguments exactly as the synchronous
// operations do (the fields too, so their errors come from the call itself),
// copies them into a job that owns them, and launches the job on the running
// loop (async_job.h). The job's blocking work runs on a pool thread without
// the interpreter lock.

#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "async_job.h"
#include "convert.h"
#include "objects.h"

namespace ordel::py {

const char kFromFileAsyncDoc[] =
    "from_file_async(path)\n"
    "--\n"
    "\n"
    "Load an Ordel policy from a file (async)\n"
    "\n"
    "Non-blocking file I/O for async contexts.\n"
    "\n"
    "Args:\n"
    "    path: Path to the .odl policy file\n"
    "\n"
    "Returns:\n"
    "    OrdelEngine instance";

const char kFromSourceAsyncDoc[] =
    "from_source_async(source)\n"
    "--\n"
    "\n"
    "Load an Ordel policy from source code (async)\n"
    "\n"
    "Non-blocking parse for async contexts.\n"
    "\n"
    "Args:\n"
    "    source: Ordel policy source code as a string\n"
    "\n"
    "Returns:\n"
    "    OrdelEngine instance";

const char kEngineVerifyAsyncDoc[] =
    "verify_async($self, intent_name, fields)\n"
    "--\n"
    "\n"
    "Verify an intent against the policy (async)\n"
    "\n"
    "Non-blocking verification for async agent frameworks.\n"
    "Offloads CPU-bound verification to a thread pool.\n"
    "\n"
    "Args:\n"
    "    intent_name: Name of the intent to verify\n"
    "    fields: Dictionary of parameter names to values\n"
    "\n"
    "Returns:\n"
    "    Coroutine that resolves to Verdict";

const char kModuleVerifyAsyncDoc[] =
    "verify_async(policy_path, intent_name, fields)\n"
    "--\n"
    "\n"
    "Quick verification helper (async)\n"
    "\n"
    "Load a policy and verify an intent in one async call.\n"
    "Non-blocking for agent frameworks.\n"
    "\n"
    "Args:\n"
    "    policy_path: Path to the .odl policy file\n"
    "    intent_name: Name of the intent to verify\n"
    "    fields: Dictionary of parameter names to values\n"
    "\n"
    "Returns:\n"
    "    Coroutine that resolves to Verdict";

namespace {

constexpr Params<1> kFromFileParams{"O:from_file_async", {"path", nullptr}};
constexpr Params<1> kFromSourceParams{"O:from_source_async", {"source", nullptr}};
constexpr Params<2> kEngineVerifyParams{"OO:verify_async", {"intent_name", "fields", nullptr}};
constexpr Params<3> kModuleVerifyParams{"OOO:verify_async",
                                        {"policy_path", "intent_name", "fields", nullptr}};

JobError failure(JobErrorType type, std::string_view prefix, const PolicyError& error) {
  std::string message(prefix);
  message += error.text();
  return JobError{type, std::move(message)};
}

// An intent name and field pairs copied out of their Python objects into one
// buffer, so a job reads them without the interpreter lock. Neither copied
// nor moved: the pairs view the buffer in place.
class OwnedRequest {
 public:
  OwnedRequest(std::string_view intent, std::span<const FieldPair> fields) {
    std::size_t size = intent.size();
    for (const FieldPair& field : fields) {
      size += field.first.size() + field.second.size();
    }
    text_.reserve(size);
    text_ += intent;
    for (const FieldPair& field : fields) {
      text_ += field.first;
      text_ += field.second;
    }
    const std::string_view text = text_;
    intent_ = text.substr(0, intent.size());
    pairs_.reserve(fields.size());
    std::size_t at = intent.size();
    for (const FieldPair& field : fields) {
      const std::string_view key = text.substr(at, field.first.size());
      at += key.size();
      const std::string_view value = text.substr(at, field.second.size());
      at += value.size();
      pairs_.emplace_back(key, value);
    }
  }
  OwnedRequest(const OwnedRequest&) = delete;
  OwnedRequest& operator=(const OwnedRequest&) = delete;

  [[nodiscard]] std::string_view intent() const noexcept { return intent_; }
  [[nodiscard]] std::span<const FieldPair> fields() const noexcept { return pairs_; }

 private:
  std::string text_;
  std::string_view intent_;
  std::vector<FieldPair> pairs_;
};

// OrdelEngine.from_file_async and from_source_async.
class LoadJob final : public Job {
 public:
  enum class From { kFile, kSource };

  LoadJob(From from, std::string_view text) : from_(from), text_(text) {}

 private:
  Outcome compute() override {
    const bool file = from_ == From::kFile;
    Result<Engine> engine = file ? Engine::from_file(text_) : Engine::from_source(text_);
    if (!engine) {
      return failure(JobErrorType::kValueError, file ? kLoadFailed : kParseFailed,
                     engine.error());
    }
    return std::make_shared<const Engine>(std::move(*engine));
  }

  From from_;
  std::string text_;
};

// OrdelEngine.verify_async: holds its own share of the engine, so dropping
// the OrdelEngine object does not disturb it.
class VerifyJob final : public Job {
 public:
  VerifyJob(std::shared_ptr<const Engine> engine, std::string_view intent,
            std::span<const FieldPair> fields)
      : engine_(std::move(engine)), request_(intent, fields) {}

 private:
  Outcome compute() override {
    Result<Verdict> verdict = engine_->verify(request_.intent(), request_.fields());
    // Released here, so the last share of an engine is never dropped on the
    // loop's thread.
    engine_.reset();
    if (!verdict) {
      return failure(JobErrorType::kRuntimeError, kVerifyFailed, verdict.error());
    }
    return std::move(*verdict);
  }

  std::shared_ptr<const Engine> engine_;
  OwnedRequest request_;
};

// Module verify_async: loads the policy, then verifies, unless the load
// failed or the future was cancelled in between.
class ModuleVerifyJob final : public Job {
 public:
  ModuleVerifyJob(std::string_view path, std::string_view intent,
                  std::span<const FieldPair> fields)
      : path_(path), request_(intent, fields) {}

 private:
  Outcome compute() override {
    const Result<Engine> engine = Engine::from_file(path_);
    if (!engine) {
      return failure(JobErrorType::kValueError, kLoadFailed, engine.error());
    }
    if (cancelled()) {
      return {};
    }
    Result<Verdict> verdict = engine->verify(request_.intent(), request_.fields());
    if (!verdict) {
      return failure(JobErrorType::kRuntimeError, kVerifyFailed, verdict.error());
    }
    return std::move(*verdict);
  }

  std::string path_;
  OwnedRequest request_;
};

// The outcome of blocking work that ended with an exception.
Outcome join_error(std::string_view what) noexcept {
  try {
    std::string message = "Task join error: job failed: ";
    message += what;
    return JobError{JobErrorType::kRuntimeError, std::move(message)};
  } catch (...) {
    return JobError{JobErrorType::kMemoryError, {}};
  }
}

}  // namespace

void Job::run() noexcept {
  if (!cancelled()) {
    try {
      outcome_ = compute();
    } catch (const std::bad_alloc&) {
      outcome_ = JobError{JobErrorType::kMemoryError, {}};
    } catch (const std::exception& fault) {
      outcome_ = join_error(fault.what());
    } catch (...) {
      outcome_ = join_error("unknown exception");
    }
    // A result nobody will see is freed here rather than on the loop's thread.
    if (cancelled()) {
      outcome_ = std::monostate{};
    }
  }
  deliver(this);
}

PyObject* engine_from_file_async(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> argv{};
    if (!match_args(args, kwargs, kFromFileParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> path = text_arg(argv[0], "path");
    if (!path) {
      return nullptr;
    }
    return launch(JobPtr(new LoadJob(LoadJob::From::kFile, *path)));
  });
}

PyObject* engine_from_source_async(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> argv{};
    if (!match_args(args, kwargs, kFromSourceParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> source = text_arg(argv[0], "source");
    if (!source) {
      return nullptr;
    }
    return launch(JobPtr(new LoadJob(LoadJob::From::kSource, *source)));
  });
}

PyObject* engine_verify_async(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> argv{};
    if (!match_args(args, kwargs, kEngineVerifyParams, argv)) {
      return nullptr;
    }
    FieldPairs fields;
    const std::optional<std::string_view> intent = verify_request(argv[0], argv[1], fields);
    if (!intent) {
      return nullptr;
    }
    return launch(JobPtr(new VerifyJob(engine_of(self), *intent, fields.pairs())));
  });
}

PyObject* module_verify_async(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 3> argv{};
    if (!match_args(args, kwargs, kModuleVerifyParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> path = text_arg(argv[0], "policy_path");
    if (!path) {
      return nullptr;
    }
    FieldPairs fields;
    const std::optional<std::string_view> intent = verify_request(argv[1], argv[2], fields);
    if (!intent) {
      return nullptr;
    }
    return launch(JobPtr(new ModuleVerifyJob(*path, *intent, fields.pairs())));
  });
}

}  // namespace ordel::py
