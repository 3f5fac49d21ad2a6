import pytest

@pytest.mark.kestrin_sim("on PING reply PONG")
def test_device_answers_ping(kestrin_port):
    kestrin_port.expect(b"PONG", send=b"PING")
