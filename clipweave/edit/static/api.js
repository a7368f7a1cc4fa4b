// The editor's server, as the page uses it: JSON in, JSON out. The token
// travels as the page's cookie.

export class ApiError extends Error {
  constructor(status, data) {
    const problems = (data && data.problems) || [`the server answered ${status}`];
    super(problems.join("\n"));
    this.status = status;
    this.data = data || {};
    this.problems = problems;
  }
}

export async function call(method, url, body) {
  const options = { method, headers: {}, credentials: "same-origin" };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(url, options);
  } catch (e) {
    throw new ApiError(0, { problems: ["the editor's server does not answer (was it stopped?)"] });
  }
  if (response.status === 204) return null;
  let data = null;
  try {
    data = await response.json();
  } catch (e) {
    data = null;
  }
  if (!response.ok) throw new ApiError(response.status, data);
  return data;
}

export const get = (url) => call("GET", url);
export const post = (url, body) => call("POST", url, body);
export const put = (url, body) => call("PUT", url, body);
export const del = (url) => call("DELETE", url);
