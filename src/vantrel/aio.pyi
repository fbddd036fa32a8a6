# The module's namespace: callers may reach (and rebind) these names.
import asyncio as asyncio
import logging as logging
import smtplib as smtplib
import ssl as ssl
from datetime import datetime as datetime
from types import TracebackType as TracebackType
from typing import Any
from typing import Awaitable as Awaitable
from typing import Callable
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Union as Union

from typing_extensions import disjoint_base

from .dkim import Signer as Signer
from .mailer import EasyMailer as EasyMailer
from .auth import OAuthBearer as OAuthBearer
from .auth import XOAuth2 as XOAuth2

_local_name: str

def _open(
    loop: asyncio.AbstractEventLoop,
    protocol_factory: Callable[[], asyncio.BaseProtocol],
    host: str,
    port: int,
    ssl_context: Optional[ssl.SSLContext],
    server_hostname: Optional[str],
) -> Awaitable[tuple[asyncio.BaseTransport, asyncio.BaseProtocol]]: ...
def _start_tls(
    loop: asyncio.AbstractEventLoop,
    transport: asyncio.BaseTransport,
    protocol: asyncio.BaseProtocol,
    ssl_context: ssl.SSLContext,
    server_hostname: str,
) -> Awaitable[Any]: ...

# A native class with fields of its own: it cannot share a subclass with
# another such class.
@disjoint_base
class AsyncSession:
    def __init__(
        self,
        mailer: EasyMailer,
        connections: int = 1,
        max_per_connection: Optional[int] = None,
        timeout: Optional[float] = 60.0,
        pipelining: bool = True,
        auth: Optional[Union[XOAuth2, OAuthBearer]] = None,
        message_id: Union[bool, str] = False,
        dkim: Optional[Signer] = None,
    ) -> None: ...
    async def send(
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
    async def send_template(
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
    def aclose(self) -> Awaitable[None]: ...
    def __aenter__(self) -> Awaitable[AsyncSession]: ...
    def __aexit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Awaitable[None]: ...
    @property
    def sent(self) -> int: ...
    @property
    def connections(self) -> int: ...
    @property
    def last_reply(self) -> Optional[tuple[int, str]]: ...
