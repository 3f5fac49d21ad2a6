#!/usr/bin/python3
"""Writes the named seed inputs of the poll's fuzz target into corpus/.

Each seed is one scenario in the input layout that tests/fuzz/scenario.h
describes; run this again after changing that layout. Inputs that libFuzzer
finds are not kept here: the seeds are the readable starting points.
"""
import os
import struct

INT_MIN, INT_MAX = -2**31, 2**31 - 1
SPECIAL_LENGTHS = [(-1, False), (INT_MIN, False), (21, False), (22, False), (100, False),
                   (INT_MAX, False), (1, True), (20, True), (0, True), (-1, True),
                   (INT_MIN, True), (21, True), (INT_MAX, True)]


def u16(v):
    return struct.pack('<H', v)


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def length_code(length, null=False):
    if 0 <= length <= 20 and not null:
        return bytes([length])
    return bytes([0xE0 + SPECIAL_LENGTHS.index((length, null))])


def budget(v):
    fixed = {0: 1, -1: 2, INT_MIN: 3, INT_MAX: 4}
    if v in fixed:
        return bytes([fixed[v]])
    if 0 < v < 65536:
        return bytes([0]) + u16(v)
    if -65536 < v < 0:
        return bytes([6]) + u16(-v)
    return bytes([5]) + u32(v)


def tick(v):
    if v == 1000:
        return bytes([0])
    if v == 0:
        return bytes([4])
    if 0xFFFFFFFF - 65535 <= v:
        return bytes([1]) + u16(0xFFFFFFFF - v)
    if 0x7FFFFFFF - 65535 <= v <= 0x7FFFFFFF:
        return bytes([2]) + u16(0x7FFFFFFF - v)
    return bytes([3]) + u32(v)


def wait(v, honour=False):
    """Bit 3 of the code: reads wait as long as the reader lets them."""
    flag = 8 if honour else 0
    fixed = {1: 0, 10: 1, 100: 2, 1000: 3, 5000: 4, 5001: 5}
    if v in fixed:
        return bytes([fixed[v] | flag])
    if v <= 65536:
        return bytes([6 | flag]) + u16(v - 1)
    return bytes([7 | flag]) + u32(v - 1)


# Events; delta is in ms after the previous event (x100 for pause).
def reply(delta, gap=0):
    return bytes([0]) + u16(delta) + bytes([gap])


def wrong(delta, index, byte, gap=0):
    return bytes([1]) + u16(delta) + bytes([gap, index, byte])


def prefix(delta, k, gap=0):
    return bytes([2]) + u16(delta) + bytes([gap, k])


def raw(delta, data, gap=0):
    return bytes([3]) + u16(delta) + bytes([gap, len(data)]) + data


def outage(delta, duration_ms, cost_ms):
    return bytes([4]) + u16(delta) + u16(duration_ms // 10) + bytes([cost_ms - 1])


def pause(delta_hundreds):
    return bytes([5]) + u16(delta_hundreds)


def seed(pattern, budget_ms, events=(), start_tick=1000, read_wait=10, length=None, null=False, honour=False):
    n = len(pattern) if length is None else length
    return (length_code(n, null) + pattern + budget(budget_ms) + tick(start_tick) + wait(read_wait, honour) +
            b''.join(events))


SEEDS = {
    'reply_at_once_leaves_trailer': seed(b'OK\r\n', 1000, [reply(0), raw(0, b'next')]),
    'mismatch_then_match': seed(b'OK!', 1000, [wrong(0, 0, ord('N')), reply(100)]),
    'attempt_outlasts_budget': seed(b'OK!', 1000, [wrong(0, 1, ord('?')), reply(4000)]),
    'attempt_ending_on_budget_is_last': seed(b'OK!', 900, [raw(0 if i == 0 else 300, b'NO!') for i in range(10)]),
    'silent_port_short_budget': seed(b'OK', 3000),
    'silent_port_long_budget': seed(b'OK', 6000),
    'exactly_idle_limit_of_silence': seed(b'x', 0, [raw(7000, b'x')], start_tick=0, read_wait=5000),
    'just_past_idle_limit': seed(b'x', 0, [raw(7000, b'x')], start_tick=0, read_wait=5001),
    'spinning_port': seed(b'x', 0, [raw(5002, b'x')], start_tick=0, read_wait=1),
    # Six bytes 4990 ms apart: the whole transfer takes almost 25 s.
    'trickle_under_idle_limit': seed(b'abcdef', 0, [raw(4990, b'abcdef'[i:i + 1]) for i in range(6)]),
    'long_gap_keeps_partial_bytes': seed(b'abcdef', 0, [prefix(0, 3), raw(9000, b'def')]),
    'short_attempt_uses_leftovers': seed(b'XBC', 10000, [raw(0, b'ABCX')]),
    'leftover_zeros': seed(b'A\0\0', 0, [raw(0, b'A')]),
    'all_zero_pattern_silent_port': seed(b'\0\0\0\0', 100),
    'budget_across_tick_wrap': seed(b'OK!', 1000, [raw(0 if i == 0 else 300, b'NO!') for i in range(10)],
                                    start_tick=0xFFFFFFFF - 499),
    'idle_across_tick_wrap': seed(b'ab', 0, start_tick=0xFFFFFFFF - 99),
    'trickle_across_tick_wrap': seed(b'ab', 0, [raw(2000, b'a'), raw(4000, b'b')], start_tick=0xFFFFFFFF - 2999),
    'signed_tick_boundary': seed(b'OK', 2000, [wrong(0, 0, 0), reply(1500)], start_tick=0x7FFFFFFF - 1000),
    'reads_fail_mid_reply': seed(b'HELLO', 5000, [prefix(0, 2), outage(10, 3000, 1), raw(10, b'LLO')], read_wait=10),
    'reads_fail_past_idle_limit': seed(b'HELLO', 20000, [prefix(0, 2), outage(10, 6000, 7), reply(7000)]),
    'every_read_fails': seed(b'OK', 100, [outage(0, 655350, 1)], read_wait=1),
    'extreme_bytes_match': seed(bytes([0x00, 0xFF] * 10), 0, [reply(5), raw(0, b'tail')]),
    'ff_is_not_7f': seed(b'\xff', 0, [raw(0, b'\x7f')]),
    'nul_inside_pattern': seed(b'A\0B', 0, [raw(0, b'A\0C')]),
    'last_byte_differs': seed(b'AB', 0, [raw(0, b'AC')]),
    'length_zero': seed(b'', 1000, [raw(0, b'abc')]),
    'length_minus_one': seed(b'', 1000, [raw(0, b'abc')], length=-1),
    'length_int_min': seed(b'', 1000, [raw(0, b'abc')], length=INT_MIN),
    'length_21': seed(bytes(21), 1000, [raw(0, bytes(24))], length=21),
    'length_int_max': seed(bytes(64), 1000, [raw(0, bytes(24))], length=INT_MAX),
    # The decoder still takes the pattern's bytes; the target then passes null.
    'null_pattern': seed(b'\0', 1000, [raw(0, b'\0')], null=True),
    'null_pattern_length_20': seed(bytes(20), 1000, [raw(0, bytes(20))], null=True),
    'null_pattern_length_0': seed(b'', 1000, [raw(0, b'a')], length=0, null=True),
    'budget_int_min': seed(b'OK!', INT_MIN, [raw(0, b'BADOK!')]),
    'budget_minus_one': seed(b'OK!', -1, [raw(0, b'BADOK!')]),
    'budget_zero': seed(b'OK!', 0, [raw(0, b'BADOK!')]),
    # Still polling after 200 minutes of silence, then a match.
    'budget_int_max_late_match': seed(b'OK', INT_MAX, [wrong(0, 0, ord('N')), pause(60000), pause(60000), reply(0)],
                                      read_wait=1000),
    'huge_read_wait': seed(b'OK', 0, read_wait=1_000_000),
    'longest_pattern_slow_bytes': seed(bytes(range(1, 21)), 30000, [reply(0, gap=250)], read_wait=100),
    # Reads that wait as long as the reader lets them, as on Linux: one read
    # per silent or dead attempt, and the idle stop exactly 5001 ms after the
    # last byte, however short or long the port's own read wait.
    'honoured_wait_silent_port': seed(b'OK', 12000, read_wait=1, honour=True),
    'honoured_wait_dead_port': seed(b'OK', 12000, [outage(0, 655350, 1)], read_wait=1, honour=True),
    # HE at once, L 300 ms later, and from then on every read fails.
    'honoured_wait_hang_up_mid_reply': seed(b'HELLO', 0, [prefix(0, 2), raw(300, b'L'), outage(0, 600000, 1)],
                                            read_wait=1000, honour=True),
    'honoured_wait_trickle': seed(b'abcdef', 0, [raw(4990, b'abcdef'[i:i + 1]) for i in range(6)], read_wait=25500,
                                  honour=True),
    'honoured_wait_byte_at_the_limit': seed(b'ab', 0, [raw(0, b'a'), raw(5001, b'b')], honour=True),
    'honoured_wait_byte_past_the_limit': seed(b'ab', 0, [raw(0, b'a'), raw(5002, b'b')], honour=True),
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    corpus = os.path.join(here, 'corpus')
    os.makedirs(corpus, exist_ok=True)
    for name in os.listdir(corpus):
        os.remove(os.path.join(corpus, name))
    for name, data in SEEDS.items():
        with open(os.path.join(corpus, name), 'wb') as f:
            f.write(data)
    print(f'wrote {len(SEEDS)} seeds to {corpus}')


if __name__ == '__main__':
    main()
