import kestrin

def test_device_answers_ping(kestrin_device):
    port = kestrin_device("on PING reply PONG")
    port.write(b"PING")
    assert kestrin.poll(port, b"PONG", timeout_ms=1000)
