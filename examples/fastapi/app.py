"""A FastAPI app that sends a templated welcome message from an endpoint.

One AsyncSession is opened in the app's lifespan and shared by every request:
its connection (TLS and login done once) carries the messages of concurrent
requests, pipelined when the server offers PIPELINING, and nothing blocks the
event loop while a message is on its way.

    VANTREL_SMTP_HOST=smtp.example.com VANTREL_SMTP_USER=app@example.com \\
    VANTREL_SMTP_PASSWORD=... uvicorn app:app
"""

import contextlib
import os
import smtplib

from fastapi import FastAPI, HTTPException, Request
from pydantic import BaseModel

from vantrel.aio import AsyncSession
from vantrel.mailer import EasyMailer


def make_mailer():
    return EasyMailer(
        host=os.environ.get("VANTREL_SMTP_HOST", "localhost"),
        port=int(os.environ.get("VANTREL_SMTP_PORT", "587")),
        username=os.environ.get("VANTREL_SMTP_USER", ""),
        password=os.environ.get("VANTREL_SMTP_PASSWORD", ""),
        default_sender=os.environ.get("VANTREL_SMTP_SENDER", "app@example.com"),
        use_ssl=False,
        use_tls=True,
    )


@contextlib.asynccontextmanager
async def lifespan(app: FastAPI):
    # Wrong settings fail here, at start-up, not at the first request.
    async with AsyncSession(make_mailer(), connections=4) as session:
        app.state.mail = session
        yield
    # Leaving the block waited for the messages in flight and said QUIT.


app = FastAPI(lifespan=lifespan)


class Signup(BaseModel):
    email: str
    name: str


@app.post("/signup", status_code=201)
async def signup(form: Signup, request: Request):
    session: AsyncSession = request.app.state.mail
    try:
        await session.send_template(
            to=form.email,
            subject="Welcome, {{ name }}",
            template_name="notification",
            context={"name": form.name, "title": "Welcome",
                     "message": f"Hello {form.name}, your account is ready."},
        )
    except smtplib.SMTPRecipientsRefused:
        raise HTTPException(status_code=422, detail="that address does not take mail")
    return {"sent": True}
