"""Command words as a console user types them: help in any case prints the usage text; any
other word, or none, makes the process the service, which run by hand prints the notice,
strips its token and gives up; debug with no suitable adapter prints nothing. Every run exits
0, and nothing is sent, though a limited broadcast from here would be heard."""

from concurrent.futures import ThreadPoolExecutor

from conftest import EXE, TRACECAP, USAGE

NOTICE = (b"Ostrival Service. If you see this message you have run\r\n"
          b"this the wrong way: this should be started as a windows service.\r\n"
          b'You can start it by passing "start" on the command line.')
MANY = [f"arg{n}" for n in range(200)]
RUNS = [(["help"], USAGE), (["HELP"], USAGE), (["HeLp", "extra", "words", *MANY], USAGE),
        ([], NOTICE), ([""], NOTICE), (["x" * 32000], NOTICE), (["helpx"], NOTICE),
        (["hel", *MANY], NOTICE), (["help "], NOTICE), (["hélp"], NOTICE), (["帮助"], NOTICE),
        (["DEBUG", "extra", "words"], b"")]


def test_words(lab):
    lab.veth("words", "v0", None, "peer", "p0", "198.19.6.2/24")
    lab.route("words", ifname="v0")
    lab.tun("words", "tun0", "198.19.7.1/24")
    rx = lab.receiver("peer")
    pc = lab.prefix("words")
    traces = pc.traces(TRACECAP)

    # A run that becomes the service waits about 10 s for the dispatcher to give up: side by side.
    with ThreadPoolExecutor(len(RUNS)) as pool:
        done = list(pool.map(lambda run: pc.run(EXE, *run[0]), RUNS))
    for (words, printed), (status, out, err) in zip(RUNS, done):
        assert (status, out) == (0, printed), (words[:4], err[-1000:])
    starts = sum(printed == NOTICE for _, printed in RUNS)
    texts = [text for _, text in traces.lines()]
    assert texts.count("Ostrival: Disabling all privileges") == starts
    assert texts.count("Ostrival: Removing privileges") == starts
    assert rx.take() == []
