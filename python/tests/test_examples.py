"""The example programs, each run as a user would against `quill serve`."""

import os
import re
import subprocess
import sys

import quillkit
from conftest import SOURCE_DIR, read_line

EXAMPLES = SOURCE_DIR / "examples" / "python"


def test_examples_print_and_watch_on_quill_serve(tmp_path):
    picture = tmp_path / "picture.png"
    subprocess.run([sys.executable, "-c", "from PIL import Image; "
                    f"Image.linear_gradient('L').save({str(picture)!r})"], check=True)
    # One printer for the label and the status, another for the picture: a printer has one page.
    serves = [subprocess.Popen([os.environ["QUILLKIT_QUILL"], "serve", "--port", "0", "--out",
                                str(tmp_path / name)], stdout=subprocess.PIPE)
              for name in ("label", "picture")]
    try:
        label, picture_printer = (
            re.search(r"127\.0\.0\.1:\d+", read_line(serve, lambda line: "serving" in line))
            .group() for serve in serves)
        runs = [subprocess.Popen([sys.executable, str(EXAMPLES / script), "--wifi", target,
                                  *args], stdout=subprocess.PIPE, text=True)
                for script, target, args in [
                    ("print_label.py", label, []),
                    ("watch_status.py", label, ["--count", "1"]),
                    ("print_picture.py", picture_printer, [str(picture), "--label", "12x12"])]]
        outputs = [run.communicate(timeout=30)[0] for run in runs]
        assert [run.returncode for run in runs] == [0, 0, 0]
        assert outputs[1].split()[1:] == ["ready"]
    finally:
        for serve in serves:
            serve.terminate()
            serve.wait(10)
    printed = [quillkit.load_label_png(tmp_path / name / "label-0001.png")
               for name in ("label", "picture")]
    assert [(p.width, p.height) for p in printed] == [(480, 320), (96, 96)]
