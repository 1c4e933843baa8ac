"""LeNet, the NiN and Inception blocks and AlexNet: layouts, shapes, modes and failures."""
import types

import pytest
import torch
from torch import nn

from quorvane.Source import tavrine as tv


def n_params(net):
    return sum(p.numel() for p in net.parameters() if p.requires_grad)


# Script-side renderings of the layouts: stored weights must move both ways.
class ScriptLeNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Sequential(nn.Conv2d(1, 6, 3, padding=(1, 1)), nn.ReLU(), nn.Conv2d(6, 16, 3, padding=(1, 1)),
                                  nn.ReLU())
        self.fc = nn.Sequential(nn.Linear(1936, 80), nn.ReLU(), nn.Dropout(0.5), nn.Linear(80, 64), nn.ReLU(),
                                nn.Dropout(0.5), nn.Linear(64, 2))

    def forward(self, img):
        return self.fc(self.conv(img).view(img.shape[0], -1))


def stage(conv, cin, cout, pad=1):
    return nn.Sequential(nn.Conv2d(cin, cout, 3, padding=pad), nn.BatchNorm2d(cout), nn.ReLU()) if conv else \
        nn.Sequential(nn.Linear(cin, cout), nn.BatchNorm1d(cout), nn.ReLU())


class ScriptAlexNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1, self.conv2, self.conv3 = stage(1, 1, 32), stage(1, 32, 16), stage(1, 16, 8)
        self.conv4 = stage(1, 8, 4, 0)
        self.fc1, self.fc2, self.fc3 = stage(0, 84, 42), stage(0, 42, 21), nn.Sequential(nn.Linear(21, 6))

    def forward(self, x):
        x = self.conv4(self.conv3(self.conv2(self.conv1(x))))
        spp = torch.cat([nn.AdaptiveMaxPool2d((n, n))(x).view(x.size(0), -1) for n in (4, 2, 1)], 1)
        return self.fc3(self.fc2(self.fc1(spp)))


@pytest.mark.parametrize("ours,script,size", [(tv.LeNet, ScriptLeNet, 11), (tv.AlexNet, ScriptAlexNet, 11),
                                              (tv.AlexNet, ScriptAlexNet, 17)])
def test_stored_weights_load_both_ways(ours, script, size):
    theirs, mine = script(), ours()
    assert list(mine.state_dict()) == list(theirs.state_dict())
    x = torch.randn(3, 1, size, size)
    theirs.train()(x)  # move the batch-norm statistics away from their initial values
    mine.load_state_dict(theirs.state_dict())
    mine.eval(), theirs.eval()
    torch.testing.assert_close(mine(x), theirs(x))
    fresh = script()
    fresh.load_state_dict(mine.state_dict())
    torch.testing.assert_close(fresh.eval()(x), mine(x))


def test_classes_are_library_modules_with_fixed_methods():
    methods = {"FlattenLayer": ["__init__", "forward"], "Conv2D": ["__init__", "forward"],
               "LeNet": ["__init__", "forward"], "Inception": ["__init__", "forward"],
               "AlexNet": ["__init__", "forward", "spatial_pyramid_pool"]}
    for name, names in methods.items():
        cls = getattr(tv, name)
        assert cls.__bases__ == (nn.Module,) and cls.__module__ == "quorvane.Source.tavrine" and cls.__doc__ is None
        own = [k for k, v in vars(cls).items() if callable(v) and (k == "__init__" or not k.startswith("_"))]
        assert own == names
        assert [getattr(cls, n).__qualname__ for n in names] == [f"{name}.{n}" for n in names]
    assert tv.AlexNet.spatial_pyramid_pool.__doc__ == (
        "\n        previous_conv: a tensor vector of previous convolution layer"
        "\n        num_sample: an int number of image in the batch"
        "\n        previous_conv_size: an int vector [height, width] of the matrix features size of previous"
        " convolution layer"
        "\n        out_pool_size: a int vector of expected output size of max pooling layer\n"
        "\n        returns: a tensor vector with shape [1 x n] is the concentration of multi-level pooling\n        ")
    assert tv.AlexNet.forward.__doc__ is None and tv.nin_block.__doc__ is None


def test_lenet():
    net = tv.LeNet()
    assert n_params(net) == 161214
    x = torch.randn(4, 1, 11, 11)
    assert net.conv(x).shape == (4, 16, 11, 11) and net(x).shape == (4, 2)
    with pytest.raises(RuntimeError, match="2304"):
        net(torch.randn(4, 1, 12, 12))
    net.eval()
    assert torch.equal(net(x), net(x))
    net.train()
    torch.manual_seed(1)
    assert not torch.equal(net(x), net(x))


def test_nin_block():
    blk = tv.nin_block(1, 8, 3, 1, 1)
    assert isinstance(blk, nn.Sequential) and n_params(blk) == 224 and blk is not tv.nin_block(1, 8, 3, 1, 1)
    assert [type(layer) for layer in blk] == [nn.Conv2d, nn.ReLU] * 3
    assert blk[2].kernel_size == (1, 1) and blk[4].in_channels == 8
    x = torch.randn(2, 1, 11, 11)
    assert blk(x).shape == (2, 8, 11, 11) and (blk(x) >= 0).all()
    assert tv.nin_block(in_channels=1, out_channels=8, kernel_size=5, stride=2, padding=0)(x).shape == (2, 8, 4, 4)


@pytest.mark.parametrize("c2,c3", [((4, 8), (2, 4)), ([4, 8], [2, 4])])
def test_inception(c2, c3):
    block = tv.Inception(1, 2, c2, c3, 3)
    assert n_params(block) == 522
    assert list(dict(block.named_children())) == ["p1_1", "p2_1", "p2_2", "p3_1", "p3_2", "p4_1", "p4_2"]
    out = block(torch.randn(2, 1, 11, 11))
    assert out.shape == (2, 17, 11, 11) and (out >= 0).all()
    with torch.no_grad():
        block.p4_2.weight.fill_(-1)
        block.p4_2.bias.zero_()
    out = block(-torch.ones(2, 1, 11, 11))
    assert torch.equal(out[:, 14:], torch.ones(2, 3, 11, 11))  # path 4 fills the last channels
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 6 positional arguments \(5 given\)$"):
        tv.Inception(1, 2, c2, c3)


def test_names_are_looked_up_at_each_call(monkeypatch):
    block = tv.Inception(1, 2, (4, 8), (2, 4), 3)
    monkeypatch.setattr(tv, "F", types.SimpleNamespace(relu=torch.tanh))
    assert (block(torch.randn(2, 1, 5, 5)) < 0).any()
    lenet_class, alexnet_class = tv.LeNet, tv.AlexNet
    monkeypatch.setattr(tv, "LeNet", tv.Inception)
    monkeypatch.setattr(tv, "AlexNet", tv.Inception)
    with pytest.raises(TypeError, match="super"):
        lenet_class()  # base initialiser reached through the module global
    assert isinstance(alexnet_class(), alexnet_class)  # ... but through the defining class here


def test_alexnet_shapes_and_parameters():
    net = tv.AlexNet()
    assert n_params(net) == 11247
    for size in (11, 28, 3):
        x = torch.randn(2, 1, size, size)
        features = net.conv4(net.conv3(net.conv2(net.conv1(x))))
        assert features.shape == (2, 4, size - 2, size - 2)
        assert net.spatial_pyramid_pool(features, 2, [size - 2] * 2, [4, 2, 1]).shape == (2, 84)
        assert net(x).shape == (2, 6)


def test_pyramid_layout():
    net = tv.AlexNet()
    fmap = torch.randn(3, 4, 9, 9)
    spp = net.spatial_pyramid_pool(fmap, 3, [9, 9], [4, 2, 1])
    assert torch.equal(spp[:, 80:], fmap.amax((2, 3)))
    assert torch.equal(net.spatial_pyramid_pool(fmap, 3, [9, 9], [1]), fmap.amax((2, 3)))
    for other in ([1, 1], [100, 3], None):
        assert torch.equal(net.spatial_pyramid_pool(fmap, 3, other, [4, 2, 1]), spp)
    cells = spp[:, :64].view(3, 4, 4, 4)
    for r, (r0, r1) in enumerate([(0, 3), (2, 5), (4, 7), (6, 9)]):
        for c, (c0, c1) in enumerate([(0, 3), (2, 5), (4, 7), (6, 9)]):
            assert torch.equal(cells[:, :, r, c], fmap[:, :, r0:r1, c0:c1].amax((2, 3)))
    halves = spp[:, 64:80].view(3, 4, 2, 2)
    assert torch.equal(halves[:, :, 1, 0], fmap[:, :, 4:, :5].amax((2, 3)))
    tiny = torch.randn(2, 4, 1, 1)
    # A 1x1 map: the finer levels repeat each channel's single value.
    want = torch.cat([tiny.expand(2, 4, n, n).reshape(2, -1) for n in (4, 2, 1)], 1)
    assert torch.equal(net.spatial_pyramid_pool(tiny, 2, [1, 1], [4, 2, 1]), want)


def test_alexnet_modes_and_failures():
    net = tv.AlexNet()
    x = torch.randn(5, 1, 11, 11)
    assert torch.equal(net(x), net(x))  # no dropout, even in training mode
    net.eval()
    before = net(x)
    assert torch.equal(before, net(x))
    net.train()(x * 3 + 1)
    assert not torch.equal(net.eval()(x), before)  # the training pass moved the running statistics
    assert net(x[:1]).shape == (1, 6)
    with pytest.raises(ValueError, match="more than 1 value per channel"):
        net.train()(x[:1])
    with pytest.raises(UnboundLocalError, match=r"^local variable 'spp' referenced before assignment$"):
        net.spatial_pyramid_pool(torch.randn(1, 4, 3, 3), 1, [3, 3], [])
    with pytest.raises(TypeError, match=r"^spatial_pyramid_pool\(\) takes exactly 5 positional arguments \(4 given\)$"):
        net.spatial_pyramid_pool(torch.randn(1, 4, 3, 3), 1, [3, 3])
    with pytest.raises(TypeError, match=r"^nin_block\(\) takes exactly 5 positional arguments \(4 given\)$"):
        tv.nin_block(1, 8, 3, 1)
    with pytest.raises(RuntimeError):
        net.eval()(torch.randn(1, 1, 2, 2))
