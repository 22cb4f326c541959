import pathlib

import pytest

PEER_DATA = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "peer"

# Under the sanitizer pass (scripts/sanitize) the ASan runtime is loaded; its
# allocator keeps freed memory in quarantine, so resident memory only grows.
SANITIZED = "libasan" in pathlib.Path("/proc/self/maps").read_text()
# matplotlib's extension throws C++ exceptions that the preloaded ASan runtime
# cannot intercept (it aborts), so charts are only drawn in the normal pass.
draws_charts = pytest.mark.skipif(SANITIZED, reason="matplotlib aborts under the preloaded ASan")


@pytest.fixture
def write_lines(tmp_path):
    """Writes text lines to a file and returns its path as str."""

    def write(lines, name="stream.txt", newline="\n"):
        path = tmp_path / name
        path.write_text("".join(line + newline for line in lines), encoding="utf-8")
        return str(path)

    return write
