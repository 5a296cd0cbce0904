// The model file: JSON read with nlohmann, checked field by field. The
// format is described in docs/model-format.md.
#include "hostsim/sim/elements/reader.h"
#include "hostsim/sim/input/json_reader.h"
#include "hostsim/sim/input/text_file.h"
#include "hostsim/sim/input/waveform_read.h"
#include "hostsim/sim/model/model.h"
#include "hostsim/sim/base/numbers.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace dvx::sim {

namespace {

class Reader {
public:
    Reader(const Json& root, const std::string& file) : root_(root, "", file) {}

    Model Read() {
        root_.OnlyKeys({"simulation", "nodes", "quantities", "elements", "instances", "record"});
        if (auto s = root_.OptionalField("simulation")) ReadSettings(*s);
        ReadNodes(root_.Field("nodes"));
        if (auto q = root_.OptionalField("quantities")) ReadQuantities(*q);
        if (auto e = root_.OptionalField("elements")) ReadElements(*e);
        ReadInstances(root_.Field("instances"));
        if (auto r = root_.OptionalField("record")) ReadRecord(*r);
        CheckEveryNodeIsUsed();
        return std::move(model_);
    }

private:
    void ReadSettings(const JsonAt& at) {
        at.OnlyKeys({"start", "stop", "step", "output_interval", "method", "rtol", "atol", "max_step", "max_steps",
                    "energy"});
        Settings& s = model_.settings;
        s.start = at.NumberField("start", s.start);
        s.stop = at.NumberField("stop", s.stop);
        s.step = at.NumberField("step", s.step);
        s.outputInterval = at.NumberField("output_interval", s.outputInterval);
        s.rtol = at.NumberField("rtol", s.rtol);
        s.atol = at.NumberField("atol", s.atol);
        s.maxStep = at.NumberField("max_step", s.maxStep);
        if (auto m = at.OptionalField("max_steps")) {
            const double steps = m->Number();
            if (!(steps >= 1.0 && steps <= 1e12) || steps != std::floor(steps))
                m->Fail("must be a whole number from 1 to 1e12");
            s.maxSteps = static_cast<long>(steps);
        }
        if (auto e = at.OptionalField("energy")) s.energy = e->Boolean();
        if (auto m = at.OptionalField("method"))
            if (!ParseMethod(m->Text(), &s.method)) m->Fail("the method must be \"ida\", \"euler\" or \"bdf2\"");
        try {
            CheckSettings(s, "");
        } catch (const SimError& e) {
            at.Fail(e.what());
        }
    }

    void ReadNodes(const JsonAt& at) {
        at.ExpectArray();
        if (at.Size() == 0) at.Fail("a model needs at least one node");
        for (size_t i = 0; i < at.Size(); ++i) {
            const JsonAt item = at.Element(i);
            Node node;
            if (item.Value().is_string()) {
                node.name = item.Name();
            } else {
                item.OnlyKeys({"name", "omega0"});
                node.name = item.Field("name").Name();
                node.omega0 = item.NumberField("omega0", 0.0);
            }
            if (node.name == kGroundName) item.Fail("\"ground\" is the fixed ground and cannot be declared as a node");
            if (!nodeIndex_.emplace(node.name, static_cast<int>(model_.nodes.size())).second)
                item.Fail("the node name \"" + node.name + "\" is used twice");
            model_.nodes.push_back(node);
        }
    }

    // A node reference; `ground` is allowed only where `groundOk` says so.
    int NodeRef(const JsonAt& at, bool groundOk) {
        const std::string name = at.Text();
        if (name == kGroundName) {
            if (!groundOk) at.Fail("this element cannot sit on the fixed ground");
            return kGround;
        }
        auto it = nodeIndex_.find(name);
        if (it == nodeIndex_.end()) {
            std::string known;
            for (const Node& n : model_.nodes) known += n.name + ", ";
            at.Fail("unknown node \"" + name + "\" (nodes: " + known + "ground)");
        }
        used_.insert(it->second);
        return it->second;
    }

    void ReadQuantities(const JsonAt& at) {
        at.ExpectArray();
        std::set<std::string> names;
        for (size_t i = 0; i < at.Size(); ++i) {
            const JsonAt item = at.Element(i);
            item.OnlyKeys({"name", "value"});
            Quantity q;
            q.name = item.Field("name").Name();
            if (!names.insert(q.name).second) item.Fail("the quantity name \"" + q.name + "\" is used twice");
            q.wave = ReadWaveform(item.Field("value"));
            model_.quantities.push_back(std::move(q));
        }
    }

    void ReadElements(const JsonAt& at) {
        at.ExpectArray();
        std::set<std::string> names;
        for (size_t i = 0; i < at.Size(); ++i) {
            const JsonAt item = at.Element(i);
            item.ExpectObject();
            ElementRecord e;
            e.where = item.Path();
            const JsonAt typeField = item.Field("type");
            e.type = typeField.Text();
            std::string known;
            const ElementFactory read = FindElementType(e.type, &known);
            if (read == nullptr) typeField.Fail("unknown element type \"" + e.type + "\" (known: " + known + ")");
            if (auto name = item.OptionalField("name")) {
                e.name = name->Name();
                if (!names.insert(e.name).second) name->Fail("the element name \"" + e.name + "\" is used twice");
            }
            const ElementReader reader(item, [this](const JsonAt& ref, bool groundOk) { return NodeRef(ref, groundOk); });
            e.unit = read(reader);
            e.unit->SetLabel(e.name.empty() ? e.type + " " + e.where : e.name);
            model_.elements.push_back(std::move(e));
        }
    }

    void ReadInstances(const JsonAt& at) {
        at.ExpectArray();
        std::set<std::string> names;
        for (size_t i = 0; i < at.Size(); ++i) {
            const JsonAt item = at.Element(i);
            item.OnlyKeys({"name", "parameters", "ROT1", "ROT2"});
            Instance inst;
            inst.where = item.Path();
            inst.name = item.Field("name").Name();
            if (!names.insert(inst.name).second) item.Fail("the instance name \"" + inst.name + "\" is used twice");
            const JsonAt params = item.Field("parameters");
            if (params.Value().is_number()) {
                inst.parameters = ShortestText(params.Number());
            } else {
                inst.parameters = params.Text();
            }
            inst.rot1 = NodeRef(item.Field("ROT1"), true);
            inst.rot2 = NodeRef(item.Field("ROT2"), true);
            if (inst.rot1 == inst.rot2) item.Fail("ROT1 and ROT2 must be different nodes");
            model_.instances.push_back(std::move(inst));
        }
    }

    void ReadRecord(const JsonAt& at) {
        at.ExpectArray();
        for (size_t i = 0; i < at.Size(); ++i) {
            const JsonAt item = at.Element(i);
            const std::string name = item.Text();
            bool known = false;
            for (const Instance& inst : model_.instances) known = known || inst.name == name;
            if (!known) item.Fail("\"" + name + "\" is not an instance of this model");
            model_.record.push_back(name);
        }
    }

    // A node that nothing touches would make the equations singular; say so
    // plainly instead.
    void CheckEveryNodeIsUsed() {
        for (size_t i = 0; i < model_.nodes.size(); ++i)
            if (!used_.count(static_cast<int>(i)))
                root_.Field("nodes").Element(i).Fail("the node \"" + model_.nodes[i].name +
                                                      "\" is connected to nothing");
    }

    JsonAt root_;
    Model model_;
    std::map<std::string, int> nodeIndex_;
    std::set<int> used_;
};

} // namespace

Model ParseModel(const std::string& text, const std::filesystem::path& file) {
    const std::string name = file.string();
    const Json root = ParseJson(text, name);
    Model model = Reader(root, name).Read();
    model.file = file;
    return model;
}

std::string ReadModelText(const std::filesystem::path& file) { return ReadTextFile(file, "the model file"); }

Model LoadModel(const std::filesystem::path& file) { return ParseModel(ReadModelText(file), file); }

} // namespace dvx::sim
