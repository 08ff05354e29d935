import quorrel


def test_module_offers_exactly_two_functions():
    public = sorted(n for n in dir(quorrel) if not n.startswith("__"))
    assert public == ["receipts_for_bytes", "verify_bytes"]
    assert quorrel.__doc__ == ""
