"""The networks under the tensor library's compiler and exporter: the same
outputs as eager execution."""

import pytest
import torch

from quorvane.Source import tavrine

dynamo = pytest.importorskip("torch._dynamo")
from torch._dynamo.testing import CompileCounter  # noqa: E402


def networks():
    """(name, network, example input) for every nn.Module the module defines."""
    torch.manual_seed(0)
    conv = tavrine.Conv2D((2, 2))
    return [
        ("LeNet", tavrine.LeNet(), torch.randn(3, 1, 11, 11)),
        ("AlexNet", tavrine.AlexNet(), torch.randn(3, 1, 11, 11)),
        ("AlexNet-wide", tavrine.AlexNet(), torch.randn(2, 1, 11, 17)),
        ("Inception", tavrine.Inception(2, 3, (2, 4), (2, 3), 2), torch.randn(2, 2, 6, 6)),
        ("nin_block", tavrine.nin_block(1, 4, 3, 1, 1), torch.randn(2, 1, 7, 7)),
        ("FlattenLayer", tavrine.FlattenLayer(), torch.randn(2, 3, 4, 4)),
        ("Conv2D", conv, torch.randn(6, 5)),
    ]


NAMES = [name for name, _, _ in networks()]


def network(name):
    found = {n: (net.eval(), x) for n, net, x in networks()}
    return found[name]


@pytest.fixture(autouse=True)
def fresh_compiler():
    dynamo.reset()
    yield
    dynamo.reset()


def test_every_module_class_is_covered():
    classes = {name for name, value in vars(tavrine).items()
               if isinstance(value, type) and issubclass(value, torch.nn.Module)}
    assert classes <= {name.split("-")[0] for name in NAMES}


@pytest.mark.parametrize("backend", ["eager", "aot_eager"])
@pytest.mark.parametrize("name", NAMES)
def test_compile_gives_eager_outputs(name, backend):
    net, x = network(name)
    with torch.no_grad():
        expected = net(x)
        compiled = torch.compile(net, backend=backend)
        assert torch.allclose(compiled(x), expected, atol=1e-6)
        assert torch.allclose(compiled(x * 2), net(x * 2), atol=1e-6)  # a second call reuses the compilation


def test_code_around_a_network_is_compiled_and_the_network_called_as_is():
    net, x = network("AlexNet")
    counter = CompileCounter()

    def scores(t):
        return torch.sigmoid(net(t * 0.5)) + 1

    with torch.no_grad():
        out = torch.compile(scores, backend=counter)(x)
        assert torch.allclose(out, scores(x), atol=1e-6)
    assert counter.frame_count >= 1 and counter.op_count >= 2


def test_compile_trains_like_eager():
    torch.manual_seed(1)
    eager = tavrine.AlexNet()
    compiled_net = tavrine.AlexNet()
    compiled_net.load_state_dict(eager.state_dict())
    compiled = torch.compile(compiled_net, backend="aot_eager")
    x, y = torch.randn(8, 1, 11, 11), torch.rand(8, 6)
    for net in (eager, compiled):
        loss = torch.nn.functional.mse_loss(net(x), y)
        loss.backward()
    for (name, a), b in zip(eager.named_parameters(), compiled_net.parameters()):
        assert torch.allclose(a.grad, b.grad, atol=1e-5), name


@pytest.mark.parametrize("name", NAMES)
def test_export_traces_through_native_forward(name):
    net, x = network(name)
    exported = torch.export.export(net, (x,))
    ops = [node for node in exported.graph.nodes if node.op == "call_function"]
    assert ops, "nothing was traced"
    with torch.no_grad():
        assert torch.allclose(exported.module()(x), net(x), atol=1e-6)


def test_exported_alexnet_keeps_the_state_keys():
    net, x = network("AlexNet")
    exported = torch.export.export(net, (x,))
    assert set(net.state_dict()) <= set(exported.state_dict) | set(exported.constants) | {
        k for k in net.state_dict() if k.endswith("num_batches_tracked")}


def test_compile_with_the_default_backend():
    pytest.importorskip("torch._inductor")
    net, x = network("LeNet")
    with torch.no_grad():
        assert torch.allclose(torch.compile(net)(x), net(x), atol=1e-5)


def test_native_functions_carry_a_code_object_that_names_them():
    forward = tavrine.AlexNet.forward
    code = forward.__code__
    assert code.co_name == "forward" and code.co_qualname == "AlexNet.forward"
    assert code.co_varnames[:code.co_argcount] == ("self", "x")
    assert code.co_filename == tavrine.__file__
    assert forward.__code__ is code
    assert tavrine.nin_block.__code__.co_argcount == 5


@pytest.mark.parametrize("parameters, wrapped", [
    ("obj, is_inlined_call=False, frame=None", True),
    ("obj, is_inlined_call=False", False),
    ("obj, frame=None, is_inlined_call=False", False),
])
def test_only_a_rules_function_of_the_known_shape_is_wrapped(python_subprocess, parameters, wrapped):
    # Another library version's rules function takes other arguments: the
    # import leaves it as it is instead of calling it with ours.
    proc = python_subprocess(f"""
        import torch._dynamo.trace_rules as rules
        def check_verbose({parameters}):
            return rules.SkipResult(False, "theirs")
        rules.check_verbose = check_verbose
        from quorvane.Source import tavrine
        print("left alone:", rules.check_verbose is check_verbose)
    """)
    assert proc.stdout.split()[-1] == str(not wrapped)
