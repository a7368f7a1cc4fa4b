// Times as the page shows them and as the segments file takes them.

// Hours, minutes, seconds and the rest in units of 1/per of a second.
function split(seconds, per) {
  const units = Math.max(0, Math.round(seconds * per));
  const whole = Math.floor(units / per);
  return { h: Math.floor(whole / 3600), m: Math.floor(whole / 60) % 60, s: whole % 60, rest: units % per };
}

const pad = (n) => String(n).padStart(2, "0");

// A time for the segments file: HH:MM:SS with milliseconds where there are
// any ("00:01:15.5"), a form the command reads.
export function clockText(seconds) {
  const { h, m, s, rest } = split(seconds, 1000);
  const text = `${pad(h)}:${pad(m)}:${pad(s)}`;
  return rest ? text + "." + String(rest).padStart(3, "0").replace(/0+$/, "") : text;
}

// A time for the eye: M:SS.cc, or H:MM:SS.cc past an hour.
export function shownTime(seconds) {
  if (!Number.isFinite(seconds)) return "–";
  const { h, m, s, rest } = split(seconds, 100);
  return (h ? `${h}:${pad(m)}` : `${m}`) + `:${pad(s)}.${pad(rest)}`;
}

// A length: "7.0 s", "1:02 min".
export function shownLength(seconds) {
  if (!Number.isFinite(seconds)) return "–";
  if (seconds < 60) return `${seconds.toFixed(1)} s`;
  const m = Math.floor(seconds / 60);
  return `${m}:${String(Math.round(seconds - m * 60)).padStart(2, "0")} min`;
}

// Ruler labels: whole seconds or minutes as the step allows.
export function rulerLabel(seconds, step) {
  const m = Math.floor(seconds / 60);
  const s = seconds - m * 60;
  if (step < 1) return `${m}:${s.toFixed(1).padStart(4, "0")}`;
  return `${m}:${String(Math.round(s)).padStart(2, "0")}`;
}

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === "class") node.className = value;
    else if (name === "text") node.textContent = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else if (name === "dataset") Object.assign(node.dataset, value);
    else node.setAttribute(name, value === true ? "" : value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}
