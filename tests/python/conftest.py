"""Shared policies and engines for the ordel_py tests."""

from pathlib import Path

import pytest

import ordel_py

# ReadFile: READ with a pre-condition; Audit: no effect clause, no conscience
# names; Upload: NETWORK, denied by default.
POLICY = """
module files {
    intent ReadFile {
        takes: path: String;
        gives: content: String;
        effect: READ;
        conscience: path_safety, no_harm;
        pre: length(path) > 0;
    }
    intent Audit {
        takes: data: Map<String, [bool]>, grid: Tensor[3, n, ?];
    }
    intent Upload {
        takes: url: String;
        effect: NETWORK;
    }
}
"""


@pytest.fixture(scope="session")
def engine() -> ordel_py.OrdelEngine:
    return ordel_py.OrdelEngine.from_source(POLICY)


@pytest.fixture
def policy_file(tmp_path: Path) -> str:
    path = tmp_path / "files.odl"
    path.write_text(POLICY, encoding="utf-8")
    return str(path)
