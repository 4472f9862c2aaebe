"""The stubs and the module's signature follow the one option table (the linters, mypy's
stubtest among them, run in scripts/lint.sh)."""

from pathlib import Path


def test_the_stub_and_the_signature_follow_the_one_option_table():
    import ast
    import inspect

    import kelvara
    from kelvara_lab import _engine

    table = [(o["name"], o["default"]) for o in _engine.fit_options()]
    runtime = inspect.signature(kelvara.Circuit.fit).parameters
    assert [(n, p.default) for n, p in runtime.items()][-len(table) :] == [
        (n, ast.literal_eval(d)) for n, d in table
    ]
    stub = ast.parse((Path(__file__).parent.parent / "stubs" / "kelvara.pyi").read_text())
    fit = next(
        node
        for cls in stub.body
        if isinstance(cls, ast.ClassDef) and cls.name == "Circuit"
        for node in cls.body
        if isinstance(node, ast.FunctionDef) and node.name == "fit"
    )
    args = fit.args.args[-len(table) :]
    defaults = fit.args.defaults[-len(table) :]
    assert [(a.arg, ast.literal_eval(d)) for a, d in zip(args, defaults, strict=True)] == [
        (n, ast.literal_eval(d)) for n, d in table
    ]
