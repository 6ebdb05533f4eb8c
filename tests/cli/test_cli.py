"""Tests of the `ordel` command-line tool, run as a subprocess.

Standard library only, so any Python 3 runs them:
    python3 tests/cli/test_cli.py -v
The binary is $ORDEL_CLI, by default build/tools/ordel/ordel in the checkout.
"""

import json
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CLI = os.environ.get("ORDEL_CLI", str(ROOT / "build" / "tools" / "ordel" / "ordel"))
EXAMPLE = str(ROOT / "examples" / "coding_agent.odl")

ALLOWED_GUIDANCE = "Action is permitted under current conscience evaluation."
CHANNEL_GUIDANCE = (
    "Action denied: channel policy restriction. Consider using an alternative path "
    "or requesting predicate review."
)
IRREVERSIBLE_GUIDANCE = "Action denied: irreversible action requires additional authorization."
PRE_FAILED_GUIDANCE = "One or more pre-conditions were not satisfied"
PRE_ERROR_GUIDANCE = "Pre-condition could not be evaluated"

POLICY = """\
module files {
  intent ReadFile {
    takes: path: String;
    gives: content: Bytes;
    effect: READ;
    conscience: path_safety;
    pre: length(path) > 0;
  }
  intent Echo {
    takes: v: String;
    effect: READ;
    pre: v == "a=b";
  }
  intent DeleteFile {
    takes: path: String, authorized: bool;
    effect: WRITE;
    conscience: no_harm;
  }
  intent Archive {
    takes: data: Map<String, [bool]>, shape: Tensor[3, n, ?];
    gives: id: Sealed<String>;
    effect: read;
    conscience: no_harm, made_up;
  }
  intent Note { }
}
"""


def run(*args, stdin=b""):
    """Runs the tool; returns (exit status, stdout, stderr) with texts decoded."""
    done = subprocess.run([CLI, *args], input=stdin, capture_output=True, timeout=60)
    return (
        done.returncode,
        done.stdout.decode("utf-8", "replace"),
        done.stderr.decode("utf-8", "replace"),
    )


def verdict(allowed, reason, guidance, category):
    return {"allowed": allowed, "reason": reason, "guidance": guidance, "category": category}


ALLOWED = verdict(True, None, ALLOWED_GUIDANCE, "ChannelPolicy")


class CliTestCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls._dir = tempfile.TemporaryDirectory()
        cls.dir = Path(cls._dir.name)
        cls.policy = cls.write("files.odl", POLICY)

    @classmethod
    def tearDownClass(cls):
        cls._dir.cleanup()

    @classmethod
    def write(cls, name, content):
        path = cls.dir / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    def assert_usage_error(self, status, out, err, message):
        self.assertEqual(status, 2)
        self.assertEqual(out, "")
        self.assertEqual(err, "ordel: " + message + "\n")


class CheckTest(CliTestCase):
    def test_policies_that_compile(self):
        cases = [
            ("module m { }", "ok (0 intents)"),
            ("module m { intent A { effect: READ; } }", "ok (1 intent)"),
            (POLICY, "ok (5 intents)"),
        ]
        for source, want in cases:
            with self.subTest(want=want):
                path = self.write("good.odl", source)
                self.assertEqual(run("check", path), (0, f"{path}: {want}\n", ""))

    def test_errors_show_the_line_and_a_caret_under_the_column(self):
        # (source, line of the error, marker: the text at the reported column,
        # kind and message). The expected column is found in characters, as
        # Python indexes a str, so multi-byte characters count once.
        cases = [
            ("module m {\n  // é, ü\n  intent A { pre: \"ééé\" $ 1; }\n}\n",
             3, " 1;", "[UnexpectedChar] Unexpected character: '$'"),
            ("module m {\n  fn f() {\n    let größe: bool = zz;\n  }\n}\n",
             3, "zz;", "[UndefinedVariable] Undefined variable 'zz'"),
            ("module m {\n  intent A { takes x String; }\n}\n",
             2, "x String", "[ExpectedToken] Expected ':', found 'x'"),
            ("module m {\r\n  intent A { effect READ; }\r\n}\r\n",
             2, "READ;", "[ExpectedToken] Expected ':', found 'READ'"),
            ("module m {", 1, "", "[ExpectedToken] Expected '}', found 'EOF'"),
        ]
        for source, line_no, marker, error in cases:
            with self.subTest(error=error):
                path = self.write("bad.odl", source)
                line = source.split("\n")[line_no - 1].removesuffix("\r")
                col = (line.index(marker) if marker else len(line)) + 1
                want = f"{path}:{line_no}:{col}: {error}\n{line}\n{' ' * (col - 1)}^\n"
                self.assertEqual(run("check", path), (1, want, ""))

    def test_a_tab_before_the_column_is_kept_in_the_caret_line(self):
        path = self.write("tab.odl", "module m {\n\tintent A { takes x String; }\n}\n")
        want = (f"{path}:2:19: [ExpectedToken] Expected ':', found 'x'\n"
                "\tintent A { takes x String; }\n"
                "\t                 ^\n")
        self.assertEqual(run("check", path), (1, want, ""))

    def test_unreadable_files_show_only_the_path(self):
        invalid = self.write("invalid.odl", b"module m { \xff }")
        missing = str(self.dir / "missing.odl")
        directory = str(self.dir)
        cases = [
            (invalid, "stream did not contain valid UTF-8"),
            (missing, "No such file or directory (os error 2)"),
            (directory, "Is a directory (os error 21)"),
        ]
        for path, reason in cases:
            with self.subTest(reason=reason):
                want = f"{path}: [HaltUnknown] Failed to read policy file {path}: {reason}\n"
                self.assertEqual(run("check", path), (1, want, ""))

    def test_several_files_are_reported_in_order_and_one_failure_fails_all(self):
        good = self.write("one.odl", "module m { intent A { } }")
        bad = self.write("two.odl", "module m { intent }")
        status, out, err = run("check", good, bad, self.policy)
        self.assertEqual(status, 1)
        self.assertEqual(out, (
            f"{good}: ok (1 intent)\n"
            f"{bad}:1:19: [ExpectedToken] Expected identifier, found '}}'\n"
            "module m { intent }\n"
            "                  ^\n"
            f"{self.policy}: ok (5 intents)\n"))
        self.assertEqual(err, "")

    def test_usage_errors(self):
        self.assert_usage_error(
            *run("check"), "check needs at least one policy file (see 'ordel check --help')")
        self.assert_usage_error(
            *run("check", "--strict", self.policy),
            "unknown option '--strict' (see 'ordel check --help')")


class VerifyTest(CliTestCase):
    def test_text_output_and_exit_status(self):
        cases = [
            (["ReadFile", "path=/tmp/data.txt"], 0,
             f"allowed\n  guidance: {ALLOWED_GUIDANCE}\n"),
            (["ReadFile", "path=/etc/passwd"], 1,
             "denied\n"
             "  reason:   Path '/etc/passwd' (normalized: '/etc/passwd') denied by predicate "
             "'path_safety'\n"
             f"  guidance: {CHANNEL_GUIDANCE}\n"
             "  category: ChannelPolicy\n"),
        ]
        for args, status, want in cases:
            with self.subTest(args=args):
                self.assertEqual(run("verify", self.policy, *args), (status, want, ""))

    def test_json_output_holds_the_four_fields(self):
        cases = [
            (["ReadFile", "path=/tmp/data.txt"], ALLOWED),
            (["ReadFile", "path=/tmp/%2E%2E/ETC/shadow"], verdict(
                False, "Path '/tmp/%2E%2E/ETC/shadow' (normalized: '/etc/shadow') denied by "
                "predicate 'path_safety'", CHANNEL_GUIDANCE, "ChannelPolicy")),
            (["ReadFile", "path="], verdict(
                False, "Pre-condition failed for intent 'ReadFile'", PRE_FAILED_GUIDANCE,
                "ConscienceCore")),
            (["ReadFile"], verdict(
                False, "Pre-condition evaluation error: Unknown field 'path' in pre-condition",
                PRE_ERROR_GUIDANCE, "ConscienceCore")),
            (["DeleteFile", "path=/tmp/x"], verdict(
                False, "no_harm: Destructive intent 'DeleteFile' requires authorized=true",
                IRREVERSIBLE_GUIDANCE, "IrreversibleAction")),
            (["DeleteFile", "path=/tmp/x", "authorized=true"], ALLOWED),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                status, out, err = run("verify", "--json", self.policy, *args)
                self.assertEqual((status, err), (0 if want["allowed"] else 1, ""))
                self.assertEqual(list(json.loads(out).items()), list(want.items()))

    def test_key_value_arguments(self):
        # Split at the first "="; a repeated key keeps its last value.
        cases = [
            (["Echo", "v=a=b"], True),
            (["Echo", "v=a"], False),
            (["Echo", "v=x", "v=a=b"], True),
            (["Echo", "v=a=b", "v=x"], False),
            (["ReadFile", "path=/etc/passwd", "path=/tmp/x"], True),
            (["ReadFile", "path=/tmp/x", "path=/etc/passwd"], False),
            (["ReadFile", "--", "path=/tmp/x"], True),
        ]
        for args, allowed in cases:
            with self.subTest(args=args):
                status, out, _ = run("verify", "--json", self.policy, *args)
                self.assertEqual(status, 0 if allowed else 1)
                self.assertEqual(json.loads(out)["allowed"], allowed)

    def test_malformed_key_value_arguments(self):
        cases = [
            ("=x", "empty key in '=x'"),
            ("=", "empty key in '='"),
            ("path", "expected KEY=VALUE, got 'path'"),
            ("", "expected KEY=VALUE, got ''"),
            (b"path=\xff", "field argument is not valid UTF-8"),
        ]
        for arg, message in cases:
            with self.subTest(arg=arg):
                self.assert_usage_error(*run("verify", self.policy, "ReadFile", arg), message)

    def test_fields_json_from_a_file_and_from_standard_input(self):
        fields = self.write("fields.json", '{"path": "/tmp/data.txt", "note": "x"}')
        cases = [
            (["--fields-json", fields], b"", True),
            ([f"--fields-json={fields}"], b"", True),
            (["--fields-json", "-"], b'{"path": "/etc/passwd"}', False),
            # KEY=VALUE arguments come after the JSON fields and win.
            (["--fields-json", "-", "path=/tmp/x"], b'{"path": "/etc/passwd"}', True),
            (["--fields-json", fields, "path=/etc/passwd"], b"", False),
            # Within the JSON object the last of a repeated key wins.
            (["--fields-json", "-"], b'{"path": "/etc/passwd", "path": "/tmp/x"}', True),
        ]
        for args, stdin, allowed in cases:
            with self.subTest(args=args, stdin=stdin):
                status, out, err = run("verify", self.policy, "ReadFile", "--json", *args,
                                       stdin=stdin)
                self.assertEqual((status, err), (0 if allowed else 1, ""))
                self.assertEqual(json.loads(out)["allowed"], allowed)

    def test_fields_json_that_is_not_an_object_of_strings(self):
        stdin = "--fields-json - (standard input): "
        cases = [
            (b"", stdin + "not valid JSON (expected an object of strings)"),
            (b'{"path": "/tmp"', stdin + "not valid JSON (expected an object of strings)"),
            (b'{"path": "/tmp"} x', stdin + "not valid JSON (expected an object of strings)"),
            (b'["path"]', stdin + "expected a JSON object of strings, got array"),
            (b'"path"', stdin + "expected a JSON object of strings, got string"),
            (b'{"path": 1}', stdin + "field 'path' must be a string, got number"),
            (b'{"path": null}', stdin + "field 'path' must be a string, got null"),
            (b'{"path": true}', stdin + "field 'path' must be a string, got boolean"),
            (b'{"path": {"a": "b"}}', stdin + "field 'path' must be a string, got object"),
            (b'{"": "x"}', stdin + "empty field key"),
            (b'{"path": "\xff"}', stdin + "not valid UTF-8"),
            (b"[" * 100000, stdin + "not valid JSON (expected an object of strings)"),
        ]
        for content, message in cases:
            with self.subTest(content=content[:40]):
                self.assert_usage_error(
                    *run("verify", self.policy, "ReadFile", "--fields-json", "-", stdin=content),
                    message)

    def test_unreadable_fields_file(self):
        missing = str(self.dir / "missing.json")
        self.assert_usage_error(
            *run("verify", self.policy, "ReadFile", "--fields-json", missing),
            f"--fields-json: cannot read '{missing}': No such file or directory")
        self.assert_usage_error(
            *run("verify", self.policy, "ReadFile", "--fields-json", str(self.dir)),
            f"--fields-json: cannot read '{self.dir}': Is a directory")

    def test_errors_exit_with_status_2_and_one_line(self):
        missing = str(self.dir / "missing.odl")
        broken = self.write("broken.odl", "module m {\n  intent A { effect READ; }\n}\n")
        cases = [
            ([self.policy, "readfile"],
             "[UndefinedFunction] Error: Intent 'readfile' not found in policy"),
            ([self.policy, ""], "[UndefinedFunction] Error: Intent '' not found in policy"),
            ([missing, "ReadFile"], f"{missing}: [HaltUnknown] Failed to read policy file "
             f"{missing}: No such file or directory (os error 2)"),
            ([broken, "A"], f"{broken}:2:21: [ExpectedToken] Expected ':', found 'READ'"),
            ([self.policy, b"Read\xffFile"], "intent name is not valid UTF-8"),
            ([self.policy],
             "verify needs a policy file and an intent name (see 'ordel verify --help')"),
            ([self.policy, "ReadFile", "-x=1"],
             "unknown option '-x' (see 'ordel verify --help')"),
            ([self.policy, "ReadFile", "--json=yes"],
             "option '--json' takes no value (see 'ordel verify --help')"),
            ([self.policy, "ReadFile", "--fields-json"],
             "option '--fields-json' needs a value (see 'ordel verify --help')"),
            ([self.policy, "ReadFile", "--fields-json", "a", "--fields-json", "b"],
             "option '--fields-json' given more than once (see 'ordel verify --help')"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_usage_error(*run("verify", *args), message)


class IntentsTest(CliTestCase):
    SIGNATURES = [
        {"name": "Archive",
         "takes": [{"name": "data", "type": "Map<String, [bool]>"},
                   {"name": "shape", "type": "Tensor[3, n, ?]"}],
         "gives": [{"name": "id", "type": "Sealed<String>"}],
         "effect": "read", "conscience": ["no_harm", "made_up"]},
        {"name": "DeleteFile",
         "takes": [{"name": "path", "type": "String"}, {"name": "authorized", "type": "bool"}],
         "gives": [], "effect": "WRITE", "conscience": ["no_harm"]},
        {"name": "Echo", "takes": [{"name": "v", "type": "String"}], "gives": [],
         "effect": "READ", "conscience": []},
        {"name": "Note", "takes": [], "gives": [], "effect": "NOOP", "conscience": []},
        {"name": "ReadFile", "takes": [{"name": "path", "type": "String"}],
         "gives": [{"name": "content", "type": "Bytes"}], "effect": "READ",
         "conscience": ["path_safety"]},
    ]

    def test_text_lists_signatures_sorted_by_name(self):
        status, out, err = run("intents", self.policy)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, """\
Archive
  takes:      data: Map<String, [bool]>, shape: Tensor[3, n, ?]
  gives:      id: Sealed<String>
  effect:     read
  conscience: no_harm, made_up

DeleteFile
  takes:      path: String, authorized: bool
  gives:      -
  effect:     WRITE
  conscience: no_harm

Echo
  takes:      v: String
  gives:      -
  effect:     READ
  conscience: -

Note
  takes:      -
  gives:      -
  effect:     NOOP
  conscience: -

ReadFile
  takes:      path: String
  gives:      content: Bytes
  effect:     READ
  conscience: path_safety
""")

    def test_json(self):
        status, out, err = run("intents", "--json", self.policy)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(json.loads(out), self.SIGNATURES)

    def test_policy_without_intents(self):
        empty = self.write("empty.odl", "module m { }")
        self.assertEqual(run("intents", empty), (0, "", ""))
        status, out, _ = run("intents", empty, "--json")
        self.assertEqual((status, json.loads(out)), (0, []))

    def test_errors(self):
        missing = str(self.dir / "missing.odl")
        self.assert_usage_error(
            *run("intents", missing), f"{missing}: [HaltUnknown] Failed to read policy file "
            f"{missing}: No such file or directory (os error 2)")
        self.assert_usage_error(
            *run("intents"), "intents needs exactly one policy file (see 'ordel intents --help')")
        self.assert_usage_error(
            *run("intents", self.policy, self.policy),
            "intents needs exactly one policy file (see 'ordel intents --help')")


class MainTest(CliTestCase):
    def test_version(self):
        self.assertEqual(run("--version"), (0, "ordel 0.1.0 (ordel-lang 0.2.1)\n", ""))

    def test_help(self):
        cases = [
            (["--help"], "usage: ordel COMMAND"),
            (["-h"], "usage: ordel COMMAND"),
            (["help"], "usage: ordel COMMAND"),
            (["check", "--help"], "usage: ordel check POLICY..."),
            (["verify", "-h"], "usage: ordel verify POLICY INTENT"),
            # Help wins over other arguments, even malformed ones.
            (["verify", "x", "--bogus", "--help"], "usage: ordel verify POLICY INTENT"),
            (["intents", "--help"], "usage: ordel intents POLICY"),
        ]
        for args, start in cases:
            with self.subTest(args=args):
                status, out, err = run(*args)
                self.assertEqual((status, err), (0, ""))
                self.assertTrue(out.startswith(start), out)

    def test_usage_errors(self):
        status, out, err = run()
        self.assertEqual((status, out), (2, ""))
        self.assertTrue(err.startswith("usage: ordel COMMAND"), err)
        self.assert_usage_error(*run("lint"), "unknown command 'lint' (see 'ordel --help')")
        self.assert_usage_error(*run("--frob"), "unknown option '--frob' (see 'ordel --help')")


class ExamplePolicyTest(CliTestCase):
    """The example policy for a coding agent compiles and decides sensibly."""

    def test_every_example_policy_compiles(self):
        for path in sorted((ROOT / "examples").glob("*.odl")):
            with self.subTest(path=path.name):
                status, out, _ = run("check", str(path))
                self.assertEqual(status, 0, out)

    def test_coding_agent_requests(self):
        pre_failed = "ConscienceCore"
        cases = [
            (["ReadFile", "path=/workspace/src/main.py"], None),
            (["ReadFile", "path=/workspace/../etc/passwd"], "ChannelPolicy"),
            (["ReadFile", "path=/home/dev/.ssh/id_ed25519"], pre_failed),
            (["ReadFile", "path=/workspace/.env"], pre_failed),
            (["ReadFile", "path=/workspace/%2e%2e/x"], pre_failed),
            (["WriteFile", "path=/workspace/notes.txt", "content=hi"], None),
            (["WriteFile", "path=/tmp/scratch.txt", "content=hi"], None),
            (["WriteFile", "path=/home/dev/notes.txt", "content=hi"], pre_failed),
            (["WriteFile", "path=/workspace/../etc/cron.d/x", "content=hi"], pre_failed),
            (["WriteFile", "path=/workspace/.git/config", "content=hi"], pre_failed),
            (["DeleteFile", "path=/workspace/build", "authorized=true"], None),
            (["DeleteFile", "path=/workspace/build"], "IrreversibleAction"),
            (["DeleteFile", "path=/workspace/", "authorized=true"], pre_failed),
            (["RunCommand", "command=pytest -q tests", "timeout_s=120", "verified=true"], None),
            (["RunCommand", "command=pytest -q tests", "timeout_s=120"], "ConscienceCore"),
            (["RunCommand", "command=pytest; rm -rf /", "timeout_s=120", "verified=true"],
             pre_failed),
            (["RunCommand", "command=sudo make install", "timeout_s=60", "verified=true"],
             pre_failed),
            (["RunCommand", "command=git push --force", "timeout_s=60", "verified=true"],
             pre_failed),
            (["RunCommand", "command=git status", "timeout_s=0", "verified=true"], pre_failed),
            (["RunCommand", "command=git status", "timeout_s=601", "verified=true"], pre_failed),
            (["RunCommand", "command=git status", "timeout_s=600", "verified=true"], None),
            (["FetchDocs", "site=docs.python.org", "page=3/library/json.html"], None),
            (["FetchDocs", "site=attacker.example", "page=index.html"], pre_failed),
            (["FetchUrl", "url=https://example.com/data"], "ChannelPolicy"),
            (["FetchUrl", "url=http://example.com/data"], pre_failed),
        ]
        for args, category in cases:
            with self.subTest(args=args):
                status, out, err = run("verify", "--json", EXAMPLE, *args)
                got = json.loads(out)
                self.assertEqual(status, 0 if category is None else 1, err)
                self.assertEqual(got["allowed"], category is None, got)
                if category is not None:
                    self.assertEqual(got["category"], category, got)

    def test_coding_agent_write_size_bound(self):
        # Content too large for one command-line argument goes through JSON.
        for size, allowed in [(1048576, True), (1048577, False)]:
            with self.subTest(size=size):
                fields = json.dumps({"path": "/workspace/big.txt", "content": "x" * size})
                status, out, _ = run("verify", "--json", EXAMPLE, "WriteFile",
                                     "--fields-json", "-", stdin=fields.encode())
                self.assertEqual((status, json.loads(out)["allowed"]), (int(not allowed), allowed))


if __name__ == "__main__":
    unittest.main()
