"""The one link check of README.md and docs/, for the source tree and for the unzipped release.

remark-cli with remark-validate-links, as pinned in tests/markdown-links/ and installed by
tools/install-deps into build/deps/markdown-links: it resolves every relative link and #anchor by
GitHub's heading-slug rules. It is run so that it reaches nothing outside the folder it checks:
no configuration or ignore file is read from the tree (a stray .remarkrc must not change what is
checked), and `repository: false` keeps it from asking git for a remote, which an unzipped
release has none of; the plugin never fetches URLs of its own."""

import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHECKER = os.path.join(ROOT, "build", "deps", "markdown-links", "node_modules")


def problems(folder):
    """What does not resolve in folder/README.md and folder/docs/*.md, one line each; [] when all do."""
    remark = os.path.join(CHECKER, ".bin", "remark")
    plugin = os.path.join(CHECKER, "remark-validate-links", "index.js")
    if not (os.path.isfile(remark) and os.path.isfile(plugin)):
        return [f"no link checker in {CHECKER}: run tools/install-deps (make deps)"]
    docs = os.path.join(folder, "docs")
    files = ["README.md"] + sorted(os.path.join("docs", f) for f in os.listdir(docs) if f.endswith(".md")) \
        if os.path.isdir(docs) else ["README.md"]
    done = subprocess.run([remark, "--no-config", "--no-ignore", "--no-stdout", "--no-color", "--frail",
                           "--quiet", "--use", plugin + "=repository:false", *files],
                          cwd=folder, capture_output=True, text=True)
    said = [line.strip() for line in (done.stderr + done.stdout).splitlines() if line.strip()]
    if done.returncode != 0:
        return said or [f"remark exited with status {done.returncode} and said nothing"]
    return []
