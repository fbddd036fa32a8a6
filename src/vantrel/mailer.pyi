# The module's namespace: callers may reach (and rebind) these names.
import mimetypes as mimetypes
import smtplib as smtplib
import ssl as ssl
from datetime import datetime as datetime
from email import encoders as encoders
from email.mime.base import MIMEBase as MIMEBase
from email.mime.multipart import MIMEMultipart as MIMEMultipart
from email.mime.text import MIMEText as MIMEText
from email.utils import formataddr as formataddr
from email.utils import formatdate as formatdate
from pathlib import Path as Path
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Union as Union

from .template import TemplateEngine as TemplateEngine

class EasyMailer:
    host: str
    port: int
    username: str
    password: str
    use_ssl: bool
    use_tls: bool
    default_sender: str
    _template_engine: TemplateEngine
    def __init__(
        self,
        host: str,
        port: int,
        username: str,
        password: str,
        use_ssl: bool = True,
        use_tls: bool = False,
        default_sender: Optional[str] = None,
        template_dir: Optional[str] = None,
    ) -> None: ...
    def send(
        self,
        to: Union[str, List[str]],
        subject: str,
        body: Optional[str] = None,
        html: Optional[str] = None,
        cc: Optional[Union[str, List[str]]] = None,
        bcc: Optional[Union[str, List[str]]] = None,
        sender: Optional[str] = None,
        sender_name: Optional[str] = None,
        attachments: Optional[List[Union[str, Dict[str, object]]]] = None,
        reply_to: Optional[str] = None,
    ) -> None: ...
    def send_template(
        self,
        to: Union[str, List[str]],
        subject: str,
        template_name: str,
        context: Optional[Dict[str, object]] = None,
        cc: Optional[Union[str, List[str]]] = None,
        bcc: Optional[Union[str, List[str]]] = None,
        sender: Optional[str] = None,
        sender_name: Optional[str] = None,
        attachments: Optional[List[Union[str, Dict[str, object]]]] = None,
        reply_to: Optional[str] = None,
    ) -> None: ...
    def _build_message(
        self,
        to: Union[str, List[str]],
        subject: str,
        body: Optional[str],
        html: Optional[str],
        cc: Optional[Union[str, List[str]]],
        sender: Optional[str],
        sender_name: Optional[str],
        attachments: Optional[List[Union[str, Dict[str, object]]]],
        reply_to: Optional[str],
    ) -> MIMEMultipart: ...
    @staticmethod
    def _attach_file(msg: MIMEMultipart, filepath: str) -> None: ...
    @staticmethod
    def _attach_binary(msg: MIMEMultipart, item: Dict[str, object]) -> None: ...
    @staticmethod
    def _collect_recipients(
        to: Union[str, List[str]],
        cc: Optional[Union[str, List[str]]],
        bcc: Optional[Union[str, List[str]]],
    ) -> List[str]: ...
    def _do_send(self, msg: MIMEMultipart, recipients: List[str], sender: str) -> None: ...
