// The render panel, made from the table of options the server sends: one
// field per option, its default what a run would take now. Only the fields
// changed from their defaults are sent, so the rest stay the settings'.
// Below it, the renders with their progress, as the command's bar has it.

import { el, shownLength } from "./format.js";

const GROUPS = { settings: "Narration", run: "The run", output: "Results", studio: "The picture and sound",
  source: "The source" };

function label(field) {
  return field.name.replaceAll("_", " ");
}

export class OptionsPanel {
  constructor(form, onChange) {
    this.form = form;
    this.onChange = onChange;
    this.fields = [];
    this.controls = new Map(); // name -> {get(), set(v), root, inputs}
  }

  build(fields) {
    this.fields = fields;
    this.form.replaceChildren();
    let group = null;
    for (const field of fields) {
      if (field.group !== group) {
        group = field.group;
        this.form.append(el("h3", { class: "group" }, GROUPS[group] || group));
      }
      const control = this.control(field);
      this.controls.set(field.name, control);
      this.form.append(control.root);
    }
    this.refresh();
  }

  control(field) {
    const id = `option-${field.name}`;
    const help = el("div", { class: "help", title: field.help }, field.help);
    const from = field.from && field.from !== "default"
      ? el("div", { class: "from" }, `now: ${field.from}`) : null;
    const note = field.note ? el("div", { class: "from" }, field.note) : null;
    let get;
    let set;
    let inputs;
    let body;
    if (field.kind === "flag") {
      const box = el("input", { type: "checkbox", id, name: field.name });
      get = () => box.checked;
      set = (v) => { box.checked = Boolean(v); };
      inputs = [box];
      body = el("label", { for: id }, box, label(field), el("code", {}, field.flag));
    } else {
      let input;
      if (field.kind === "choice") {
        input = el("select", { id, name: field.name }, field.choices.map((c) => el("option", { value: c }, c)));
        get = () => input.value;
        set = (v) => { input.value = v; };
      } else if (field.kind === "number" || field.kind === "integer" || field.kind === "decibels") {
        const [min, max] = field.range || [null, null];
        input = el("input", { type: "number", id, name: field.name, min, max,
          step: field.kind === "integer" ? 1 : "any" });
        get = () => (input.value === "" ? null : Number(input.value));
        set = (v) => { input.value = v === null || v === undefined ? "" : String(v); };
      } else {
        input = el("input", { type: "text", id, name: field.name, spellcheck: "false" });
        get = () => input.value;
        set = (v) => { input.value = v === null || v === undefined ? "" : String(v); };
      }
      inputs = [input];
      let row = input;
      if (field.kind === "decibels") {
        const off = el("input", { type: "checkbox", id: `${id}-off` });
        const plain = get;
        get = () => (off.checked ? "off" : plain());
        const plainSet = set;
        set = (v) => {
          off.checked = v === "off" || v === null;
          input.disabled = off.checked;
          if (!off.checked) plainSet(v);
        };
        off.addEventListener("change", () => { input.disabled = off.checked; });
        inputs.push(off);
        row = el("div", { class: "pair" }, input, el("label", { for: `${id}-off` }, off, "off"));
      }
      body = el("div", { class: "field-body" }, el("label", { for: id }, label(field), el("code", {}, field.flag)), row);
    }
    const root = el("div", { class: `field ${field.kind === "flag" ? "flag" : ""}`, dataset: { name: field.name } },
      body, help, from, note);
    set(field.default);
    for (const input of inputs) input.addEventListener("input", () => { this.refresh(); this.onChange(); });
    for (const input of inputs) input.addEventListener("change", () => { this.refresh(); this.onChange(); });
    return { root, get, set, inputs, field };
  }

  // Marks the changed fields; with classic, the studio's own are off.
  refresh() {
    const classic = this.controls.get("classic");
    const off = classic ? classic.get() : false;
    for (const { root, get, inputs, field } of this.controls.values()) {
      root.classList.toggle("changed", this.differs(field, get()));
      const disabled = off && field.studio;
      root.classList.toggle("off", disabled);
      for (const input of inputs) if (input.type !== "checkbox" || field.kind === "flag") input.disabled = disabled;
    }
  }

  differs(field, value) {
    if (value === null || value === undefined || value === "") return false;
    return String(value) !== String(field.default);
  }

  // {name: value} of the fields changed from their defaults.
  values() {
    const out = {};
    for (const { get, field } of this.controls.values()) {
      const value = get();
      if (this.differs(field, value)) out[field.name] = value;
    }
    return out;
  }

  value(name) {
    const control = this.controls.get(name);
    return control ? control.get() : null;
  }

  set(name, value) {
    const control = this.controls.get(name);
    if (control) { control.set(value); this.refresh(); }
  }
}

const STATES = { starting: "starting", running: "running", done: "done", failed: "failed", cancelled: "cancelled" };

// Where a job is, in the words of the command's progress.
export function progressText(job) {
  if (job.state === "starting") return "starting…";
  if (job.stage === "narration" && job.narrations) return `narration ${job.narrations[0]}/${job.narrations[1]}`;
  if (job.stage === "render" || job.stage === "done") {
    const bits = [`render ${Math.floor(job.fraction * 100)}%`];
    if (job.speed) bits.push(`${job.speed.toFixed(2)}x`);
    if (job.left !== null && job.left !== undefined && job.state === "running") {
      const left = Math.round(job.left);
      bits.push(`${Math.floor(left / 60)}:${String(left % 60).padStart(2, "0")} left`);
    }
    return bits.join(" · ");
  }
  if (job.stage === "probe") return "reading the inputs…";
  return "checking…";
}

export class JobList {
  constructor(root, handlers) {
    this.root = root;
    this.on = handlers; // cancel(job), replace(job)
    this.cards = new Map();
  }

  show(job) {
    let card = this.cards.get(job.id);
    if (!card) {
      card = this.make(job);
      this.cards.set(job.id, card);
      this.root.prepend(card.root);
      this.update(card, job);
      // Below the panel's fields: brought into sight, or a click seems to do nothing.
      card.root.scrollIntoView({ block: "nearest" });
      return;
    }
    this.update(card, job);
  }

  make(job) {
    const state = el("span", { class: "state" });
    const meter = el("div", { class: "meter" }, el("i"));
    const what = el("div", { class: "what" });
    const cancel = el("button", { class: "danger" }, "Cancel");
    cancel.addEventListener("click", () => this.on.cancel(job));
    const body = el("div", { class: "body" });
    const root = el("div", { class: "job", dataset: { id: job.id } },
      el("div", { class: "head" }, el("b", {}, job.kind === "render" ? "Render" : "Preview"),
        el("span", { class: "path" }, `→ ${job.label}`), state), meter, what,
      el("div", { class: "row" }, cancel), body);
    return { root, state, meter, what, cancel, body, shown: null };
  }

  update(card, job) {
    card.root.dataset.state = job.state;
    card.state.textContent = STATES[job.state] || job.state;
    card.meter.firstChild.style.width = `${Math.round((job.state === "done" ? 1 : job.fraction) * 100)}%`;
    card.meter.hidden = job.state !== "running" && job.state !== "starting";
    card.what.textContent = job.state === "running" || job.state === "starting" ? progressText(job) : "";
    card.cancel.hidden = job.state !== "running" && job.state !== "starting";
    if (card.shown === job.state) return;
    card.shown = job.state;
    card.body.replaceChildren();
    if (job.state === "done") {
      const facts = [job.width && job.height ? `${job.width}×${job.height}` : null,
        job.duration ? shownLength(job.duration) : null].filter(Boolean).join(" · ");
      const video = el("video", { controls: true, preload: "metadata", src: `/api/jobs/${job.id}/file` });
      card.body.append(el("div", { class: "path", title: "the finished file" }, job.file),
        el("div", { class: "small" }, facts), video,
        el("div", { class: "row" }, el("a", { href: `/api/jobs/${job.id}/file`, download: "FINAL_RECAP.mp4" },
          el("button", { type: "button" }, "Download a copy"))));
      if (job.notes && job.notes.length) card.body.append(el("div", { class: "small" }, job.notes.join(" ")));
    } else if (job.state === "failed") {
      card.body.append(el("div", { class: "problems" }, job.problems.map((p) => el("p", {}, p))));
      if (job.problems.some((p) => p.includes("--overwrite"))) {
        const replace = el("button", { class: "primary" }, "Replace it");
        replace.addEventListener("click", () => this.on.replace(job));
        card.body.append(el("div", { class: "row" }, replace));
      }
    }
  }
}
