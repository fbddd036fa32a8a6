# The module's namespace: callers may reach (and rebind) these names.
import logging
import smtplib as smtplib
import socket as socket
import ssl as ssl
from datetime import datetime as datetime
from email.message import Message as Message
from types import TracebackType as TracebackType
from typing import Any as Any
from typing import Dict as Dict
from typing import Iterable as Iterable
from typing import List as List
from typing import Optional as Optional
from typing import Literal, Protocol
from typing import Union as Union

from typing_extensions import disjoint_base

from .dkim import Signer as Signer
from .mailer import EasyMailer as EasyMailer
from .auth import OAuthBearer as OAuthBearer
from .auth import XOAuth2 as XOAuth2

from . import USUAL_PORTS as USUAL_PORTS

_log: logging.Logger

class _Transport(Protocol):
    def send(self, data: bytes, /) -> None: ...
    def recv(self) -> bytes: ...
    def pending(self) -> bool: ...
    def start_tls(self, context: ssl.SSLContext, server_hostname: str, /) -> None: ...
    def send_message(
        self,
        message: Union[Message, bytes],
        sender: Optional[str] = None,
        recipients: Optional[Union[str, List[str]]] = None,
    ) -> None: ...
    def send_many(self, messages: Iterable[Dict[str, Any]]) -> List[Optional[Exception]]: ...
    def close(self) -> None: ...
    def abandon(self) -> None: ...

def _connect(host: str, port: int, timeout: Optional[float]) -> _Transport: ...
def _finished_text(
    message: Message,
    sender: str,
    headers: Optional[Dict[str, str]] = None,
    unsubscribe: Optional[Union[str, List[str]]] = None,
    message_id: Union[bool, str] = False,
    dkim: Optional[Signer] = None,
) -> bytes: ...
def classify(error: BaseException) -> Literal["sent", "retry", "permanent", "unknown"]: ...
def _template_variables(context: Optional[Dict[str, object]] = None) -> Dict[str, object]: ...

# A native class with fields of its own: it cannot share a subclass with
# another such class.
@disjoint_base
class Session:
    def __init__(
        self,
        mailer: EasyMailer,
        max_per_connection: Optional[int] = None,
        timeout: Optional[float] = 60.0,
        pipelining: bool = True,
        auth: Optional[Union[XOAuth2, OAuthBearer]] = None,
        message_id: Union[bool, str] = False,
        dkim: Optional[Signer] = None,
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
        headers: Optional[Dict[str, str]] = None,
        unsubscribe: Optional[Union[str, List[str]]] = None,
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
        headers: Optional[Dict[str, str]] = None,
        unsubscribe: Optional[Union[str, List[str]]] = None,
    ) -> None: ...
    def send_message(
        self,
        message: Union[Message, bytes],
        sender: Optional[str] = None,
        recipients: Optional[Union[str, List[str]]] = None,
    ) -> None: ...
    def send_many(self, messages: Iterable[Dict[str, Any]]) -> List[Optional[Exception]]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Session: ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    @property
    def sent(self) -> int: ...
    @property
    def connections(self) -> int: ...
    @property
    def last_reply(self) -> Optional[tuple[int, str]]: ...
