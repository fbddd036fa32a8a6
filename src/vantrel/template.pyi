from typing import Any, Dict

# The module's namespace: callers may reach (and rebind) these names.
from pathlib import Path as Path
from typing import Optional as Optional

from jinja2 import Environment as Environment
from jinja2 import FileSystemLoader as FileSystemLoader
from jinja2 import TemplateNotFound as TemplateNotFound

_DEFAULT_TEMPLATE_DIR: Path

class TemplateEngine:
    _env: Environment
    def __init__(self, template_dir: Optional[str] = None) -> None: ...
    def render(self, template_name: str, context: Dict[str, Any]) -> Optional[str]: ...
    def render_string(self, template_string: str, context: Dict[str, Any]) -> str: ...
    def add_template_dir(self, directory: str) -> None: ...
    @property
    def env(self) -> Environment: ...
