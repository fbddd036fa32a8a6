"""The example driven through FastAPI's test client, its mail checked with
vantrel's mail_outbox fixture: nothing leaves the process."""

from fastapi.testclient import TestClient

from app import app


def test_signup_sends_the_welcome(mail_outbox):
    with TestClient(app) as client:  # runs the lifespan: the session opens
        response = client.post("/signup", json={"email": "ann@example.com", "name": "Ann"})
    assert response.status_code == 201
    (sent,) = mail_outbox
    assert sent.rcpt_tos == ["ann@example.com"]
    assert sent.message["Subject"] == "Welcome, Ann"
    assert sent.mode == "starttls"
    text = sent.message.get_body(("plain",)).get_content()
    assert "Hello Ann, your account is ready." in text


def test_a_refused_address_is_the_callers_error(mail_outbox):
    mail_outbox.refuse_recipient("gone@example.com")
    with TestClient(app) as client:
        refused = client.post("/signup", json={"email": "gone@example.com", "name": "Gone"})
        accepted = client.post("/signup", json={"email": "bo@example.com", "name": "Bo"})
    assert refused.status_code == 422 and accepted.status_code == 201
    assert [m.rcpt_tos for m in mail_outbox] == [["bo@example.com"]]
