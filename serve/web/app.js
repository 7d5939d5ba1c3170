// The dashboard: the live stream (/api/events) redraws the tiles; the buttons call the API.
// The stream is read with fetch rather than EventSource so that a server that asks for a token
// gets it in the Authorization header, like every other request.
"use strict";

const SYMBOLS = { idle: "○", running: "▶", success: "✔", failed: "✖" };
const WORDS = { idle: "idle", running: "running", success: "passed", failed: "failed" };
let token = sessionStorage.getItem("vantor-token") || "";
let tiles = [];
let lastEnded = "";

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

async function call(method, path) {
  const response = await fetch(path, { method, headers: headers() });
  if (response.status === 401) {
    needToken();
    throw new Error("this server needs its token");
  }
  return response;
}

async function act(path) {
  try {
    const response = await call("POST", path);
    if (response.ok) {
      say("");
      return;
    }
    const body = await response.json().catch(() => ({}));
    say(body.error || "refused: " + response.status);
  } catch (error) {
    say(error.message);
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

function makeTile(station) {
  const tile = document.getElementById("tile").content.firstElementChild.cloneNode(true);
  tile.id = "station-" + station.number;
  tile.querySelector(".start").addEventListener("click", () => act("/api/stations/" + station.number + "/start"));
  tile.querySelector(".stop").addEventListener("click", () => act("/api/stations/" + station.number + "/stop"));
  tile.querySelector(".start").setAttribute("aria-label", "Start " + station.port);
  tile.querySelector(".stop").setAttribute("aria-label", "Stop " + station.port);
  document.getElementById("stations").appendChild(tile);
  return tile;
}

function drawStation(station) {
  const tile = tiles[station.number] || (tiles[station.number] = makeTile(station));
  tile.dataset.state = station.state;
  tile.dataset.result = station.result || "";
  text(tile, ".port", station.port);
  text(tile, ".symbol", SYMBOLS[station.state] || "?");
  const word = station.state === "failed" && station.result && station.result !== "failed"
    ? "failed (" + station.result + ")" : WORDS[station.state] || station.state;
  text(tile, ".word", word);
  text(tile, ".device", station.device || "–");
  text(tile, ".stage", station.stage || "–");
  text(tile, ".identity", station.identity || "–");
  text(tile, ".elapsed", station.started ? duration(station.elapsed_s) : "–");
  const progress = tile.querySelector("progress");
  const total = station.packets_total;
  progress.max = total > 0 ? total : 1;
  progress.value = total > 0 ? station.packets_sent : (station.state === "success" ? 1 : 0);
  progress.setAttribute("aria-label", "Packets of " + station.port);
  text(tile, ".packets", total > 0 ? "packet " + station.packets_sent + " of " + total : "");
  text(tile, ".speed", station.bytes_per_second > 0
    ? "· " + Math.round(station.bytes_per_second) + " B/s · " + station.packets_per_second.toFixed(1) + " packets/s" : "");
  const detail = station.state === "failed" || station.state === "success"
    ? (station.exit_status !== null ? "exit " + station.exit_status : "") + (station.detail ? " · " + station.detail : "") : "";
  text(tile, ".detail", detail);
  tile.querySelector(".start").disabled = station.state === "running";
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
  text(document, "#total-failed", String(line.totals.failed));
  text(document, "#total-rate", line.totals.passed_per_hour > 0 ? line.totals.passed_per_hour.toFixed(1) : "–");
  // Runs whose record the history could not keep: shown only when there are some.
  document.getElementById("unrecorded").hidden = !(line.totals.not_recorded > 0);
  text(document, "#total-unrecorded", String(line.totals.not_recorded || 0));
  text(document, "#unrecorded-reason", line.totals.history_error ? "(" + line.totals.history_error + ")" : "");
  state.stations.forEach(drawStation);
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
      const ended = record.ended ? new Date(record.ended).toLocaleString() : "";
      const image = record.image ? record.image.split(/[\\/]/).pop() : "";
      for (const value of [ended, record.port, record.result, image, record.detail]) {
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

// One message of the stream: "event: NAME" and "data: JSON" lines.
function take(block) {
  let name = "message";
  let data = "";
  for (const line of block.split("\n")) {
    if (line.startsWith("event:")) name = line.slice(6).trim();
    else if (line.startsWith("data:")) data += line.slice(5).trim();
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
      const response = await call("GET", "/api/events");
      if (!response.ok) throw new Error("the live stream answered " + response.status);
      connection.textContent = "connected";
      wait = 500;
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
    wait = Math.min(wait * 2, 5000);
  }
}

document.getElementById("start-all").addEventListener("click", () => act("/api/start"));
document.getElementById("stop-all").addEventListener("click", () => act("/api/stop"));
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
