// The dashboard: the live stream (/api/events) redraws the tiles; the buttons call the API.
// The stream is read with fetch rather than EventSource so that a server that asks for a token
// gets it in the Authorization header, like every other request.
"use strict";

const SYMBOLS = { idle: "○", running: "▶", stopping: "■", success: "✔", warned: "⚠", stopped: "■", failed: "✖" };
const WORDS = {
  idle: "idle", running: "running", stopping: "stopping…", success: "passed",
  warned: "passed with warnings", stopped: "stopped", failed: "failed",
};
const ACTIVE = ["running", "stopping"];
let token = sessionStorage.getItem("vantor-token") || "";
let tiles = [];
let lastEnded = "";
let lastEventId = "";
let retryMs = 2000;
// The states whose tiles come first on a phone: what needs someone's eyes.
const ORDER = { failed: 0, warned: 1, stopping: 2, running: 3, stopped: 4, success: 5, idle: 6 };

function headers() {
  return token ? { Authorization: "Bearer " + token } : {};
}

function say(text) {
  document.getElementById("message").textContent = text;
}

function needToken() {
  const form = document.getElementById("token-form");
  form.hidden = false;
  document.getElementById("token").focus();
}

async function call(method, path, body) {
  const options = { method, headers: headers() };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  if (response.status === 401) {
    needToken();
    throw new Error("this server needs its token");
  }
  return response;
}

// True when the server did it; otherwise its reason is shown.
async function act(path, body) {
  try {
    const response = await call("POST", path, body);
    if (response.ok) {
      say("");
      return true;
    }
    const answer = await response.json().catch(() => ({}));
    say(answer.error || "refused: " + response.status);
  } catch (error) {
    say(error.message);
  }
  return false;
}

// The operator, set once in this browser, goes with every start.
function operatorName() {
  return (localStorage.getItem("vantor-operator") || "").trim();
}

function startBody(serial) {
  const body = {};
  if (serial) body.unit_serial = serial;
  if (operatorName()) body.operator = operatorName();
  return Object.keys(body).length ? body : undefined;
}

// A scanner types the unit's serial and Enter: that starts the station for that unit.
async function startStation(number, field) {
  const serial = field.value.trim();
  if (await act("/api/stations/" + number + "/start", startBody(serial))) {
    field.value = "";
  } else {
    field.select();
  }
}

function text(tile, selector, value) {
  const element = tile.querySelector(selector);
  if (element.textContent !== value) {
    element.textContent = value;
  }
}

function duration(seconds) {
  const s = Math.floor(seconds);
  const m = Math.floor(s / 60);
  return m > 0 ? m + " min " + String(s % 60).padStart(2, "0") + " s" : (seconds).toFixed(1) + " s";
}

// What a passed run met, in counts: "8 missing responses · 1 protected memory".
function warningsText(warnings) {
  if (!warnings) return "";
  const parts = [];
  const say = (count, one, many) => { if (count > 0) parts.push(count + " " + (count === 1 ? one : many)); };
  say(warnings.missing_responses, "missing response", "missing responses");
  say(warnings.unrecognised_responses, "unrecognised response", "unrecognised responses");
  say(warnings.protected_memory, "protected memory warning", "protected memory warnings");
  return parts.join(" · ");
}

function makeTile(station) {
  const tile = document.getElementById("tile").content.firstElementChild.cloneNode(true);
  tile.id = "station-" + station.number;
  const serial = tile.querySelector(".serial");
  serial.id = "serial-" + station.number;
  tile.querySelector(".scan label").htmlFor = serial.id;
  serial.setAttribute("aria-label", "Unit serial for " + station.port);
  tile.querySelector(".scan").addEventListener("submit", (event) => {
    event.preventDefault();
    startStation(station.number, serial);
  });
  tile.querySelector(".start").addEventListener("click", () => startStation(station.number, serial));
  tile.querySelector(".stop").addEventListener("click", () => act("/api/stations/" + station.number + "/stop"));
  tile.querySelector(".start").setAttribute("aria-label", "Start " + station.port);
  tile.querySelector(".stop").setAttribute("aria-label", "Stop " + station.port);
  document.getElementById("stations").appendChild(tile);
  return tile;
}

function drawStation(station) {
  const tile = tiles[station.number] || (tiles[station.number] = makeTile(station));
  tile.dataset.state = station.state;
  tile.style.setProperty("--order", ORDER[station.state] ?? 9);
  tile.dataset.result = station.result || "";
  // A long name breaks only after its separators (sim:address=2,process-ms=40).
  if (tile.querySelector(".port").dataset.port !== station.port) {
    const port = tile.querySelector(".port");
    port.dataset.port = station.port;
    port.replaceChildren(...station.port.split(/(?<=[:,=/._-])/).flatMap((part, i) =>
      i === 0 ? [part] : [document.createElement("wbr"), part]));
  }
  text(tile, ".symbol", SYMBOLS[station.state] || "?");
  const word = station.state === "failed" && station.result && station.result !== "failed"
    ? "failed (" + station.result + ")" : WORDS[station.state] || station.state;
  tile.setAttribute("aria-label", station.port + ": " + word);
  text(tile, ".word", word);
  text(tile, ".device", station.device || "–");
  text(tile, ".stage", station.stage || "–");
  text(tile, ".identity", station.identity || "–");
  text(tile, ".elapsed", station.started ? duration(station.elapsed_s) : "–");
  text(tile, ".unit", [station.unit_serial, station.operator, station.order].filter(Boolean).join(" · ") || "–");
  const progress = tile.querySelector("progress");
  const total = station.packets_total;
  progress.max = total > 0 ? total : 1;
  progress.value = total > 0 ? station.packets_sent : (station.state === "success" ? 1 : 0);
  progress.setAttribute("aria-label", "Packets of " + station.port);
  text(tile, ".packets", total > 0 ? "packet " + station.packets_sent + " of " + total : "");
  text(tile, ".speed", station.bytes_per_second > 0
    ? "· " + Math.round(station.bytes_per_second) + " B/s · " + station.packets_per_second.toFixed(1) + " packets/s" : "");
  const ended = !ACTIVE.includes(station.state) && station.state !== "idle";
  const detail = ended
    ? (station.exit_status !== null ? "exit " + station.exit_status : "") + (station.detail ? " · " + station.detail : "") : "";
  text(tile, ".detail", detail);
  text(tile, ".warnings", warningsText(station.warnings));
  tile.querySelector(".start").disabled = ACTIVE.includes(station.state);
  tile.querySelector(".stop").disabled = station.state !== "running";
}

function drawLogs(stations) {
  const list = document.getElementById("logs");
  list.replaceChildren();
  for (const station of stations) {
    if (!station.traffic_log) continue;
    const item = document.createElement("li");
    const link = document.createElement("a");
    link.href = "/api/stations/" + station.number + "/traffic-log";
    link.textContent = station.port + " — " + (WORDS[station.state] || station.state) +
      (station.ended ? ", " + new Date(station.ended).toLocaleTimeString() : "");
    if (token) {
      link.addEventListener("click", openLog);
    }
    item.appendChild(link);
    list.appendChild(item);
  }
}

async function openLog(event) {
  event.preventDefault();
  try {
    const response = await call("GET", event.currentTarget.getAttribute("href"));
    const blob = await response.blob();
    window.open(URL.createObjectURL(blob), "_blank", "noopener");
  } catch (error) {
    say(error.message);
  }
}

function draw(state) {
  const line = state.line;
  text(document, "#image-name", line.image.name);
  text(document, "#image-sha", line.image.sha256 || "cannot be read");
  text(document, "#total-stations", String(line.totals.stations));
  text(document, "#total-running", String(line.totals.running));
  text(document, "#total-passed", String(line.totals.passed));
  text(document, "#total-warned", String(line.totals.warned));
  text(document, "#total-failed", String(line.totals.failed));
  text(document, "#total-stopped", String(line.totals.stopped));
  text(document, "#total-rate", line.totals.passed_per_hour > 0 ? line.totals.passed_per_hour.toFixed(1) : "–");
  const hour = line.last_hour;
  text(document, "#hour-counts", hour.passed + " passed (" + hour.warned + " with warnings) · " +
    hour.failed + " failed · " + hour.stopped + " stopped");
  text(document, "#since", zoned(line.serving_since));
  const failing = state.stations.some((s) => s.state === "failed");
  document.title = (failing ? "✖ failure · " : "") + "Vantor line";
  document.getElementById("favicon").href = failing ? FAVICON_FAILED : FAVICON;
  // Runs whose record the history could not keep: shown only when there are some.
  document.getElementById("unrecorded").hidden = !(line.totals.not_recorded > 0);
  text(document, "#total-unrecorded", String(line.totals.not_recorded || 0));
  text(document, "#unrecorded-reason", line.totals.history_error ? "(" + line.totals.history_error + ")" : "");
  state.stations.forEach(drawStation);
  soundFailures(state.stations);
  document.getElementById("start-all").disabled = line.totals.running === line.totals.stations;
  document.getElementById("stop-all").disabled = line.totals.running === 0;
  const ended = state.stations.map((s) => s.ended || "").join(",");
  if (ended !== lastEnded) {
    lastEnded = ended;
    drawLogs(state.stations);
    loadHistory();
  }
}

async function loadHistory() {
  const note = document.getElementById("history-note");
  const table = document.getElementById("history-table");
  try {
    const response = await call("GET", "/api/history?limit=20");
    const body = await response.json();
    if (!response.ok) {
      note.textContent = body.error || "the history cannot be read";
      table.hidden = true;
      return;
    }
    const rows = document.getElementById("history");
    rows.replaceChildren();
    for (const record of body) {
      const row = document.createElement("tr");
      const ended = record.ended ? zoned(record.ended) : "";
      const image = record.image ? record.image.split(/[\\/]/).pop() : "";
      for (const value of [ended, record.port, record.unit_serial, record.operator || record.user,
                         record.result, image, record.detail]) {
        const cell = document.createElement("td");
        cell.textContent = value === undefined || value === null ? "" : String(value);
        row.appendChild(cell);
      }
      rows.appendChild(row);
    }
    note.textContent = body.length === 0 ? "No run yet." : "";
    table.hidden = body.length === 0;
  } catch (error) {
    note.textContent = error.message;
  }
}

// An instant as the local ISO time with its zone: "2026-12-08 10:14:29 +01:00".
function zoned(iso) {
  const when = new Date(iso);
  const pad = (n) => String(Math.abs(n)).padStart(2, "0");
  const offset = -when.getTimezoneOffset();
  return when.getFullYear() + "-" + pad(when.getMonth() + 1) + "-" + pad(when.getDate()) + " " +
    pad(when.getHours()) + ":" + pad(when.getMinutes()) + ":" + pad(when.getSeconds()) + " " +
    (offset < 0 ? "-" : "+") + pad(Math.trunc(offset / 60)) + ":" + pad(offset % 60);
}

// An optional sound when a station fails: off until the operator turns it on, then
// remembered by this browser. A browser lets a page sound only after a click or a key on it,
// so the sound is made ready at each.
const sound = {
  on: localStorage.getItem("vantor-failure-sound") === "on",
  audio: null,
  failures: new Map(), // station number → when its failed run that was last seen ended
  watching: false, // false until the first state: failures that are there already are no news
};

function showSound() {
  const button = document.getElementById("sound");
  const waiting = sound.on && !(sound.audio && sound.audio.state === "running");
  button.setAttribute("aria-pressed", String(sound.on));
  button.textContent = "Sound on failure: " + (sound.on ? "on" : "off") +
    (waiting ? " (click the page to allow it)" : "");
}

function readyAudio() {
  const Context = window.AudioContext || window.webkitAudioContext;
  if (!sound.on || !Context) return;
  if (!sound.audio) {
    sound.audio = new Context();
    sound.audio.addEventListener("statechange", showSound);
  }
  if (sound.audio.state === "suspended") sound.audio.resume().catch(() => {});
  showSound();
}

// Two short high beeps, to be heard across a line's noise.
function beep() {
  if (!sound.audio) return;
  const now = sound.audio.currentTime;
  for (const after of [0, 0.3]) {
    const tone = sound.audio.createOscillator();
    const level = sound.audio.createGain();
    tone.type = "square";
    tone.frequency.value = 880;
    level.gain.value = 0.2;
    tone.connect(level).connect(sound.audio.destination);
    tone.start(now + after);
    tone.stop(now + after + 0.18);
  }
}

// Sounds once for the stations that have failed since the last state.
function soundFailures(stations) {
  let news = false;
  for (const station of stations) {
    if (station.state !== "failed") continue;
    const ended = station.ended || "";
    if (sound.failures.get(station.number) !== ended) {
      sound.failures.set(station.number, ended);
      news = news || sound.watching;
    }
  }
  sound.watching = true;
  if (news && sound.on) beep();
}

const FAVICON = "data:image/svg+xml," + encodeURIComponent(
  "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 16 16'><circle cx='8' cy='8' r='7' fill='#137a3a'/></svg>");
const FAVICON_FAILED = "data:image/svg+xml," + encodeURIComponent(
  "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 16 16'><rect width='16' height='16' fill='#b42318'/></svg>");

// One message of the stream: "id:", "retry:", "event: NAME" and "data: JSON" lines.
function take(block) {
  let name = "message";
  let data = "";
  for (const line of block.split("\n")) {
    if (line.startsWith("event:")) name = line.slice(6).trim();
    else if (line.startsWith("data:")) data += line.slice(5).trim();
    else if (line.startsWith("id:")) lastEventId = line.slice(3).trim();
    else if (line.startsWith("retry:")) retryMs = Number(line.slice(6).trim()) || retryMs;
  }
  if (name === "state" && data) {
    draw(JSON.parse(data));
  }
}

async function listen() {
  const connection = document.getElementById("connection");
  let wait = 500;
  for (;;) {
    try {
      // Each event holds the whole state: the first one after a reconnection is all that
      // was missed.
      const response = await fetch("/api/events", {
        headers: Object.assign(lastEventId ? { "Last-Event-ID": lastEventId } : {}, headers()),
      });
      if (response.status === 401) needToken();
      if (!response.ok) throw new Error("the live stream answered " + response.status);
      connection.textContent = "connected";
      wait = retryMs;
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      let buffer = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer += decoder.decode(value, { stream: true });
        let end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
          take(buffer.slice(0, end));
          buffer = buffer.slice(end + 2);
        }
      }
      connection.textContent = "reconnecting…";
    } catch (error) {
      connection.textContent = "disconnected (" + error.message + ")";
    }
    await new Promise((resolve) => setTimeout(resolve, wait));
    wait = Math.min(Math.max(wait * 2, retryMs), 10000);
  }
}

document.getElementById("start-all").addEventListener("click", () => act("/api/start", startBody("")));
const operatorField = document.getElementById("operator");
operatorField.value = operatorName();
operatorField.addEventListener("change", () => {
  localStorage.setItem("vantor-operator", operatorField.value.trim());
});
document.getElementById("operator-form").addEventListener("submit", (event) => {
  event.preventDefault();
  localStorage.setItem("vantor-operator", operatorField.value.trim());
  operatorField.blur();
});
document.getElementById("stop-all").addEventListener("click", () => act("/api/stop"));
document.getElementById("sound").addEventListener("click", () => {
  sound.on = !sound.on;
  localStorage.setItem("vantor-failure-sound", sound.on ? "on" : "off");
  readyAudio();
  showSound();
});
for (const kind of ["pointerdown", "keydown"]) {
  document.addEventListener(kind, readyAudio, true);
}
showSound();
document.getElementById("token-form").addEventListener("submit", (event) => {
  event.preventDefault();
  token = document.getElementById("token").value.trim();
  sessionStorage.setItem("vantor-token", token);
  document.getElementById("token-form").hidden = true;
  say("");
});
const fromAddress = new URLSearchParams(location.hash.slice(1)).get("token");
if (fromAddress) {
  token = fromAddress;
  sessionStorage.setItem("vantor-token", token);
  history.replaceState(null, "", location.pathname);
}
listen();
