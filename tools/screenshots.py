"""Pictures of the built-in templates, for the docs and the README.

Run through tools/screenshots (which builds and installs the package first).

Each built-in template's HTML body is rendered with the example values of
docs/examples/NAME.json and drawn by headless Chromium at a desktop and a
phone width, into docs/images/NAME-desktop.png and NAME-phone.png.  A page
that asks for anything outside its own file, or logs an error, gets no
picture: the run fails instead.
"""

import argparse
import json
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import chromium  # noqa: E402  (tools/chromium.py, beside this file)

CHECKOUT = Path(__file__).resolve().parent.parent
EXAMPLES = CHECKOUT / "docs" / "examples"

# Viewports: a desktop window, and a phone drawn at twice its CSS pixels.
SIZES = {
    "desktop": dict(width=1024, height=768),
    "phone": dict(width=390, height=844, mobile=True, scale=2),
}


def builtin_templates():
    """The names of the installed package's built-in HTML templates."""
    from vantrel import template

    directory = Path(str(template._DEFAULT_TEMPLATE_DIR))
    return sorted(p.stem for p in directory.glob("*.html") if not p.name.startswith("_"))


def example_page(name, directory):
    """NAME.html in directory: the template's HTML body with its example values."""
    from vantrel.template import TemplateEngine

    context = json.loads((EXAMPLES / f"{name}.json").read_text(encoding="utf-8"))
    page = directory / f"{name}.html"
    page.write_text(TemplateEngine().render(f"{name}.html", context), encoding="utf-8")
    return page


def outside_requests(visit):
    """The URLs a page asked for beyond local files."""
    return [url for url in visit.requests if not url.startswith("file://")]


def main(argv=None):
    parser = argparse.ArgumentParser(prog="screenshots", description=__doc__.split("\n\n")[1])
    parser.add_argument("--out", type=Path, default=CHECKOUT / "docs" / "images",
                        help="where the pictures go (default: docs/images)")
    args = parser.parse_args(argv)
    if chromium.executable() is None:
        print("screenshots: error: no chromium here (tools/py314 has it)", file=sys.stderr)
        return 1
    args.out.mkdir(parents=True, exist_ok=True)
    with (
        tempfile.TemporaryDirectory(prefix="vantrel-pictures-") as scratch,
        chromium.Browser() as browser,
    ):
        for name in builtin_templates():
            url = example_page(name, Path(scratch)).as_uri()
            for size, viewport in SIZES.items():
                with browser.open_page(**viewport) as page:
                    visit = page.load(url)
                    problems = outside_requests(visit) + visit.errors
                    if problems:
                        print(f"screenshots: error: {name}.html: {'; '.join(problems)}",
                              file=sys.stderr)
                        return 1
                    picture = args.out / f"{name}-{size}.png"
                    page.screenshot(picture)
                    print(picture)
    return 0


if __name__ == "__main__":
    sys.exit(main())
